#include "recorder/recorder_files.h"

#include <cinttypes>
#include <cstdio>
#include <filesystem>

namespace fs = std::filesystem;

namespace lumewell::recorder {
namespace {

std::string indexed(int64_t index, const char* suffix) {
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "%06" PRId64 "%s", index, suffix);
  return buffer;
}

Error fileError(const std::error_code& ec, const std::string& context) {
  return Error{"posix", ec.value(), context + ": " + ec.message()};
}

}  // namespace

std::string sealedSegmentName(int64_t index) { return indexed(index, ".m4a"); }

std::optional<int64_t> partSegmentIndex(const std::string& fileName) {
  // "." then six to eighteen digits then ".m4a.part".
  constexpr std::string_view suffix = ".m4a.part";
  if (fileName.size() < 1 + 6 + suffix.size() || fileName.size() > 1 + 18 + suffix.size() ||
      fileName.front() != '.' ||
      fileName.compare(fileName.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return std::nullopt;
  }
  int64_t index = 0;
  for (size_t i = 1; i < fileName.size() - suffix.size(); ++i) {
    if (fileName[i] < '0' || fileName[i] > '9') return std::nullopt;
    index = index * 10 + (fileName[i] - '0');
  }
  return index;
}

std::string joinPath(const std::string& folder, const std::string& name) {
  if (!folder.empty() && folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

int64_t firstFreeSegmentIndex(const std::string& folder, int64_t from) {
  while (pathExists(joinPath(folder, sealedSegmentName(from))) ||
         pathExists(joinPath(folder, "." + indexed(from, ".m4a.part"))) ||
         pathExists(joinPath(folder, indexed(from, "-mic.m4a"))) ||
         pathExists(joinPath(folder, indexed(from, "-app.m4a")))) {
    ++from;
  }
  return from;
}

bool isValidRecordingId(const std::string& id) {
  if (id.empty() || id == "." || id == ".." || id.size() > 255) return false;
  return id.find('/') == std::string::npos && id.find('\0') == std::string::npos;
}

bool pathExists(const std::string& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec));
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
