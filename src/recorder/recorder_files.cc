#include "recorder/recorder_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <filesystem>

#include "runtime/files.h"

namespace fs = std::filesystem;

namespace lumewell::recorder {
namespace {

std::string indexed(int64_t index, const char* suffix) {
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "%06" PRId64 "%s", index, suffix);
  return buffer;
}

}  // namespace

std::string sealedSegmentName(int64_t index) { return indexed(index, ".m4a"); }
std::string micSegmentName(int64_t index) { return indexed(index, "-mic.m4a"); }
std::string appSegmentName(int64_t index) { return indexed(index, "-app.m4a"); }

std::string joinPath(const std::string& folder, const std::string& name) {
  if (!folder.empty() && folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

bool isValidRecordingId(const std::string& id) {
  if (id.empty() || id == "." || id == ".." || id.size() > 255) return false;
  return id.find('/') == std::string::npos && id.find('\0') == std::string::npos;
}

Error fileError(const std::error_code& ec, const std::string& context) {
  return Error{"posix", ec.value(), context + ": " + ec.message()};
}

bool pathExists(const std::string& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec));
}

OptionalError createFolders(const std::string& path) {
  if (auto error = createDirectories(path)) {
    return Error{error->domain, error->code, "Cannot create the folder " + path};
  }
  return std::nullopt;
}

OptionalError removeFileIfPresent(const std::string& path) {
  std::error_code ec;
  auto status = fs::symlink_status(path, ec);
  if (!fs::exists(status)) return std::nullopt;
  if (fs::is_directory(status)) {
    return fileError(std::make_error_code(std::errc::is_a_directory), "Cannot replace " + path);
  }
  if (!fs::remove(path, ec) && ec) return fileError(ec, "Cannot remove " + path);
  return std::nullopt;
}

Result<int64_t> fileSize(const std::string& path) {
  std::error_code ec;
  auto size = fs::file_size(path, ec);
  if (ec) return fileError(ec, "Cannot read the attributes of " + path);
  return static_cast<int64_t>(size);
}

bool sameFile(const std::string& a, const std::string& b) {
  std::error_code ec;
  if (fs::equivalent(a, b, ec) && !ec) return true;
  auto ca = fs::weakly_canonical(fs::absolute(a, ec), ec);
  if (ec) return false;
  auto cb = fs::weakly_canonical(fs::absolute(b, ec), ec);
  if (ec) return false;
  return ca == cb;
}

}  // namespace lumewell::recorder
