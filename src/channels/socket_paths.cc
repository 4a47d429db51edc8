#include "channels/socket_paths.h"

#include <glib.h>

namespace lumewell {

std::string defaultSocketPath() {
  return std::string(g_get_user_runtime_dir()) + "/lumewell-recorder/host.sock";
}

}  // namespace lumewell
