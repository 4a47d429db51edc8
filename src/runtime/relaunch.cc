#include "runtime/relaunch.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <charconv>
#include <fstream>
#include <thread>

extern char** environ;

namespace lumewell {
namespace {

// A zombie has exited already; only its parent has not collected it yet.
bool isZombieOrGone(pid_t pid) {
  if (::kill(pid, 0) != 0 && errno == ESRCH) return true;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return true;
  auto close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
}

}  // namespace

OptionalError relaunchAfterExit(const std::string& executable,
                                const std::vector<std::string>& args) {
  std::vector<std::string> strings{executable, kWaitForPidFlag + std::to_string(::getpid())};
  strings.insert(strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);

  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGHUP);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  // Its own session: the new instance outlives this one and its terminal.
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);
  pid_t child = 0;
  int rc = ::posix_spawn(&child, executable.c_str(), nullptr, &attr, argv.data(), environ);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return posixError(rc, "Cannot start " + executable);
  return std::nullopt;
}

std::optional<pid_t> takeWaitForPidArgument(std::vector<std::string>& args) {
  std::optional<pid_t> found;
  const std::string flag = kWaitForPidFlag;
  std::erase_if(args, [&](const std::string& arg) {
    if (!arg.starts_with(flag)) return false;
    const char* first = arg.data() + flag.size();
    const char* last = arg.data() + arg.size();
    long value = 0;
    auto [end, ec] = std::from_chars(first, last, value);
    if (ec == std::errc() && end == last && first != last && value > 1 && value != ::getpid() &&
        value <= INT32_MAX) {
      found = static_cast<pid_t>(value);
    }
    return true;
  });
  return found;
}

bool waitForProcessExit(pid_t pid, std::chrono::milliseconds timeout) {
  int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (fd < 0 && errno == ESRCH) return true;
  if (fd >= 0) {
    // A pidfd becomes readable when the process exits, reaped or not.
    pollfd p{fd, POLLIN, 0};
    int rc;
    do {
      rc = ::poll(&p, 1, static_cast<int>(timeout.count()));
    } while (rc < 0 && errno == EINTR);
    ::close(fd);
    return rc > 0;
  }
  // Kernels without pidfd: look every 10 ms.
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!isZombieOrGone(pid)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

std::string currentExecutablePath() {
  std::string buffer(4096, '\0');
  ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (n <= 0 || static_cast<size_t>(n) >= buffer.size()) return {};
  buffer.resize(static_cast<size_t>(n));
  // After an update replaced the file, the link names the old inode "(deleted)"; the
  // installed program is the one now at that path.
  const std::string deleted = " (deleted)";
  if (buffer.size() > deleted.size() && buffer.ends_with(deleted)) {
    buffer.resize(buffer.size() - deleted.size());
  }
  return buffer;
}

}  // namespace lumewell
