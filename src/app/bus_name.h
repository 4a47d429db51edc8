#pragma once

#include <chrono>
#include <string>

namespace lumewell::app {

// Waits until nobody owns name on the session bus. A process that has just exited may
// still hold its name for a moment, until the bus notices the closed connection. Returns
// at once (true) without a session bus; false when the name is still owned at the timeout.
[[nodiscard]] bool waitForBusNameRelease(const std::string& name,
                                         std::chrono::milliseconds timeout);

}  // namespace lumewell::app
