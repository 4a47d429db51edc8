#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace lumewell::testing {

// Generous bound for anything a test waits for (a process starting, an event arriving); a
// test that hits it fails instead of hanging.
inline constexpr std::chrono::milliseconds kPatience{10000};

// This process's environment as NAME=value entries, for a child that should see it.
std::vector<std::string> currentEnvironment();
// Starts argv[0] (looked up in PATH) with exactly env, stdin from /dev/null, stdout and
// stderr appended to the files. Throws when it cannot be started.
pid_t spawnProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   const std::string& stdoutPath, const std::string& stderrPath);
// Waits for a child of this process to end; its exit status, 128+signal, or none on timeout.
std::optional<int> waitForChild(pid_t pid, std::chrono::milliseconds timeout = kPatience);
// Stops a process by its id: SIGTERM, then SIGKILL if it lingers; reaps it if it is ours.
void stopProcess(pid_t pid);
bool processAlive(pid_t pid);
// Runs a command line through /bin/sh and returns its standard output (ffprobe, sha256sum);
// empty when it could not run or ended with a failure.
std::string commandOutput(const std::string& commandLine);

}  // namespace lumewell::testing
