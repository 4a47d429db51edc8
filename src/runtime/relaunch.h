#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "runtime/error.h"

namespace lumewell {

// The flag a relaunched instance receives first: "--wait-for-pid=<pid of the old one>".
inline constexpr const char* kWaitForPidFlag = "--wait-for-pid=";

// Starts `executable --wait-for-pid=<this pid> args...` as a detached process (own session,
// default signal mask) and returns at once. The new instance is expected to wait until this
// process has exited before it claims the application's name and socket, so the caller
// quits right after a successful call. The arguments go to the program as they are: no
// shell is involved.
[[nodiscard]] OptionalError relaunchAfterExit(const std::string& executable,
                                              const std::vector<std::string>& args);

// Removes every "--wait-for-pid=N" from args and returns the last valid N (a pid above 1
// that is not this process); a malformed value is dropped.
std::optional<pid_t> takeWaitForPidArgument(std::vector<std::string>& args);

// Waits until the process pid has ended (exited, even if not yet reaped) or timeout passes.
// Returns whether it ended.
[[nodiscard]] bool waitForProcessExit(pid_t pid, std::chrono::milliseconds timeout);

// The absolute path of this process's executable, as it was started (/proc/self/exe).
std::string currentExecutablePath();

}  // namespace lumewell
