#include "app/host_control.h"

#include "app/host_application.h"

namespace lumewell::app {

OptionalError restartHost(const std::string& executable) {
  auto* host = HostApplication::current();
  if (host == nullptr) return Error{"host", 1, "The host is not running."};
  return host->restart(executable);
}

}  // namespace lumewell::app
