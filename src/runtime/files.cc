#include "runtime/files.h"

#include <fcntl.h>
#include <glib.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <limits>

namespace lumewell {
namespace {

OptionalError makePrivate(const std::string& folder) {
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0) return posixError(errno, "Cannot examine " + folder);
  if ((st.st_mode & 07777) != 0700 && ::chmod(folder.c_str(), 0700) != 0) {
    return posixError(errno, "Cannot make " + folder + " private");
  }
  return std::nullopt;
}

// The path in its plain spelling, without a trailing "/" (the root stays "/").
std::string normalFolder(const std::string& path) {
  std::string normal = std::filesystem::path(path).lexically_normal().native();
  while (normal.size() > 1 && normal.back() == '/') normal.pop_back();
  return normal;
}

OptionalError syncPath(const std::string& path, int flags) {
  const int fd = ::open(path.c_str(), flags | O_RDONLY | O_CLOEXEC);
  if (fd < 0) return posixError(errno, "Cannot open " + path);
  const int rc = ::fsync(fd);
  const int err = errno;
  ::close(fd);
  if (rc != 0) return posixError(err, "Cannot write " + path + " to the disk");
  return std::nullopt;
}

}  // namespace

std::optional<std::string> readFileAtMost(const std::string& path, size_t maxBytes,
                                          bool regularOnly) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  if (regularOnly && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
                      static_cast<uint64_t>(st.st_size) > maxBytes)) {
    ::close(fd);
    return std::nullopt;
  }
  std::string buffer(maxBytes + 1, '\0');
  size_t used = 0;
  while (used < buffer.size()) {
    const ssize_t n = ::read(fd, buffer.data() + used, buffer.size() - used);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    used += static_cast<size_t>(n);
  }
  ::close(fd);
  buffer.resize(used);
  return buffer;
}

std::string dataHome() { return std::string(g_get_user_data_dir()) + "/" + kApplicationId; }

std::optional<int64_t> freeDiskBytes(const std::string& path) {
  if (path.empty()) return std::nullopt;
  std::filesystem::path at(path);
  for (;;) {
    struct statvfs info {};
    if (::statvfs(at.c_str(), &info) == 0) {
      const uint64_t max = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
      const uint64_t blocks = info.f_bavail;
      const uint64_t size = info.f_frsize;
      if (size != 0 && blocks > max / size) return std::numeric_limits<int64_t>::max();
      return static_cast<int64_t>(blocks * size);
    }
    if (errno != ENOENT && errno != ENOTDIR) return std::nullopt;
    if (!at.has_relative_path()) return std::nullopt;  // the root itself failed
    std::filesystem::path parent = at.parent_path();
    if (parent == at || parent.empty()) return std::nullopt;
    at = parent;
  }
}

std::string fileKind(unsigned mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "a special file";
}

OptionalError createDirectories(const std::string& path) {
  if (path.empty()) return posixError(ENOENT, "Cannot create the folder \"\"");
  // Each folder from the first down to path itself (a leading "/" is no folder of its own).
  for (size_t at = 0; at != std::string::npos;) {
    at = path.find('/', at + 1);
    const std::string partial = path.substr(0, at);
    if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
      return posixError(errno, "Cannot create " + partial);
    }
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return posixError(errno, "Cannot create " + path);
  if (!S_ISDIR(st.st_mode)) return posixError(ENOTDIR, "Cannot create " + path);
  return std::nullopt;
}

OptionalError createPrivateDirectories(const std::string& path, const std::string& privateRoot) {
  if (auto error = createDirectories(path)) return error;
  const std::string target = normalFolder(path);
  const std::string root = privateRoot.empty() ? std::string() : normalFolder(privateRoot);
  // A root that is not above path makes only path itself private, never a folder above it.
  const bool below = !root.empty() && target.compare(0, root.size(), root) == 0 &&
                     (target.size() == root.size() || target[root.size()] == '/' || root == "/");
  if (!below) return makePrivate(target);
  if (auto error = makePrivate(root)) return error;
  for (size_t at = root.size(); at < target.size();) {
    at = std::min(target.find('/', at + 1), target.size());
    if (auto error = makePrivate(target.substr(0, at))) return error;
  }
  return std::nullopt;
}

OptionalError syncFile(const std::string& path) { return syncPath(path, 0); }

OptionalError syncFolder(const std::string& folder) { return syncPath(folder, O_DIRECTORY); }

OptionalError syncFolderOf(const std::string& path) {
  const std::string folder = std::filesystem::path(path).parent_path().string();
  return syncFolder(folder.empty() ? "." : folder);
}

OptionalError syncFileAndFolder(const std::string& path) {
  if (auto error = syncFile(path)) return error;
  return syncFolderOf(path);
}

OptionalError renameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    return std::nullopt;
  }
  // File systems without that rename: a hard link and the removal of the old name.
  if (errno == EINVAL || errno == ENOSYS) {
    if (::link(from.c_str(), to.c_str()) == 0) {
      ::unlink(from.c_str());
      return std::nullopt;
    }
  }
  return posixError(errno, "Cannot rename " + from + " to " + to);
}

}  // namespace lumewell
