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
std::string partSegmentName(int64_t index) { return "." + indexed(index, ".m4a.part"); }

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
         pathExists(joinPath(folder, partSegmentName(from))) ||
         pathExists(joinPath(folder, micSegmentName(from))) ||
         pathExists(joinPath(folder, appSegmentName(from)))) {
    ++from;
  }
  return from;
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

Result<SegmentMeasure> measureSegment(AudioServices& audio, const std::string& path) {
  auto byteLength = fileSize(path);
  if (!byteLength) return byteLength.error();
  auto sha256 = audio.sha256Hex(path);
  if (!sha256) return sha256.error();
  const std::optional<int64_t> durationMs = audio.mediaDurationMs(path);
  if (!durationMs) return Error{"posix", EIO, "The file " + path + " does not play."};
  return SegmentMeasure{*byteLength, *sha256, *durationMs};
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
