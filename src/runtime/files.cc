#include "runtime/files.h"

#include <glib.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <filesystem>
#include <limits>

namespace lumewell {

std::string dataHome() { return std::string(g_get_user_data_dir()) + "/" + kApplicationId; }

std::string recordingsDirectory() { return dataHome() + "/recordings"; }

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

OptionalError createDirectories(const std::string& path) {
  if (path.empty()) return posixError(ENOENT, "Cannot create the folder \"\"");
  std::string partial;
  partial.reserve(path.size());
  size_t at = 0;
  while (at <= path.size()) {
    size_t next = path.find('/', at);
    if (next == std::string::npos) next = path.size();
    partial = path.substr(0, next);
    at = next + 1;
    if (partial.empty()) continue;  // the leading "/"
    if (::mkdir(partial.c_str(), 0700) == 0 || errno == EEXIST) continue;
    return posixError(errno, "Cannot create " + partial);
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return posixError(errno, "Cannot create " + path);
  if (!S_ISDIR(st.st_mode)) return posixError(ENOTDIR, "Cannot create " + path);
  return std::nullopt;
}

}  // namespace lumewell
