#include "channels/socket_paths.h"

#include <glib.h>
#include <sys/socket.h>

#include <cstring>

namespace lumewell {

std::string defaultSocketPath() {
  return std::string(g_get_user_runtime_dir()) + "/lumewell-recorder/host.sock";
}

bool socketAddress(const std::string& path, sockaddr_un* addr) {
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  if (path.size() >= sizeof addr->sun_path) return false;
  std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
  return true;
}

}  // namespace lumewell
