#include "app/data_folder_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

#include "runtime/files.h"

namespace lumewell::app {
namespace {

constexpr auto kRetryInterval = std::chrono::milliseconds(50);

// The pid the holder wrote into the lock file; 0 when it cannot be read.
long holderPid(int fd) {
  char text[24] = {};
  const ssize_t got = ::pread(fd, text, sizeof text - 1, 0);
  if (got <= 0) return 0;
  char* end = nullptr;
  const long pid = std::strtol(text, &end, 10);
  return end != text && pid > 0 ? pid : 0;
}

}  // namespace

Result<std::unique_ptr<DataFolderLock>> DataFolderLock::acquire(
    const std::string& folder, std::chrono::milliseconds patience) {
  if (auto error = createDirectories(folder)) return *error;
  const std::string path = folder + "/host.lock";
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return posixError(errno, "Cannot open " + path);
  const auto deadline = std::chrono::steady_clock::now() + patience;
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) break;
    const int err = errno;
    if (err == EINTR) continue;
    if (err != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline) {
      const long pid = err == EWOULDBLOCK ? holderPid(fd) : 0;
      ::close(fd);
      if (err != EWOULDBLOCK) return posixError(err, "Cannot lock " + path);
      std::string holder = pid > 0 ? " (pid " + std::to_string(pid) + ")" : "";
      return Error{"posix", EWOULDBLOCK,
                   "Lumewell Recorder is already running for the data folder " + folder + holder};
    }
    std::this_thread::sleep_for(kRetryInterval);
  }
  // The holder's pid, for the message a second instance gives.
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd, 0) == 0) {
    [[maybe_unused]] ssize_t ignored = ::pwrite(fd, pid.data(), pid.size(), 0);
  }
  (void)::fchmod(fd, 0600);  // the lock holds whatever the mode; it only keeps the pid private
  return std::unique_ptr<DataFolderLock>(new DataFolderLock(fd));
}

DataFolderLock::~DataFolderLock() { ::close(fd_); }

}  // namespace lumewell::app
