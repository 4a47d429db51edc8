#include "support/process_runner.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "runtime/relaunch.h"

extern char** environ;

namespace lumewell::testing {

std::vector<std::string> currentEnvironment() {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  return env;
}

pid_t spawnProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   const std::string& stdoutPath, const std::string& stderrPath) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  // Appending: a relaunched host writes on after the old one.
  for (const auto& [fd, path] : {std::pair{1, &stdoutPath}, std::pair{2, &stderrPath}})
    posix_spawn_file_actions_addopen(&actions, fd, path->c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0600);
  std::vector<char*> cArgs, cEnv;
  for (const auto& s : argv) cArgs.push_back(const_cast<char*>(s.c_str()));
  for (const auto& s : env) cEnv.push_back(const_cast<char*>(s.c_str()));
  cArgs.push_back(nullptr);
  cEnv.push_back(nullptr);
  pid_t pid = -1;
  int rc = ::posix_spawnp(&pid, cArgs[0], &actions, nullptr, cArgs.data(), cEnv.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
  return pid;
}

std::optional<int> waitForChild(pid_t pid, std::chrono::milliseconds timeout) {
  if (!waitForProcessExit(pid, timeout)) return std::nullopt;
  int status = 0;
  pid_t rc;
  do {
    rc = ::waitpid(pid, &status, 0);
  } while (rc < 0 && errno == EINTR);
  if (rc != pid) return std::nullopt;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return std::nullopt;
}

bool processAlive(pid_t pid) {
  if (!waitForProcessExit(pid, std::chrono::milliseconds(0))) return true;
  ::waitpid(pid, nullptr, WNOHANG);  // collect it if it is ours
  return false;
}

void stopProcess(pid_t pid) {
  if (pid <= 1 || ::kill(pid, 0) != 0) return;
  ::kill(pid, SIGTERM);
  if (!waitForProcessExit(pid, std::chrono::seconds(5))) {
    ::kill(pid, SIGKILL);
    (void)waitForProcessExit(pid, std::chrono::seconds(5));  // SIGKILL ends it; reaped below
  }
  ::waitpid(pid, nullptr, WNOHANG);
}

std::string commandOutput(const std::string& commandLine) {
  FILE* pipe = popen(commandLine.c_str(), "r");
  if (pipe == nullptr) return {};
  std::string out;
  char buffer[65536];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  return pclose(pipe) == 0 ? out : std::string();
}

}  // namespace lumewell::testing
