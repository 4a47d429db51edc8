#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <filesystem>
#include <optional>

#include "recorder/recorder_files.h"
#include "recorder/recorder_plugin.h"
#include "runtime/files.h"

namespace lumewell::recorder {
namespace {

namespace fs = std::filesystem;

// Only an absolute local path is a file to the media layer; anything else ("http://...",
// "concat:...", a relative name) would be taken as a URL or resolved against the host's folder.
bool isLocalPath(const std::string& path) {
  return !path.empty() && path.front() == '/' && path.find('\0') == std::string::npos;
}

// A segment file's name: the index in six or more digits, then ".m4a" (sealed), "-mic.m4a"
// or "-app.m4a" (the sources of a segment being sealed).
bool isSegmentFileName(const std::string& name) {
  size_t digits = 0;
  while (digits < name.size() && std::isdigit(static_cast<unsigned char>(name[digits]))) ++digits;
  const std::string rest = name.substr(digits);
  return digits >= 6 && (rest == ".m4a" || rest == "-mic.m4a" || rest == "-app.m4a");
}

bool isAtOrBelow(const fs::path& path, const fs::path& folder) {
  auto at = path.begin();
  for (const auto& part : folder) {
    if (at == path.end() || *at != part) return false;
    ++at;
  }
  return true;
}

// Links of the part that exists resolved, "." and ".." gone, no trailing "/": two spellings
// of one place compare equal.
fs::path resolved(const std::string& path) {
  std::error_code ec;
  fs::path out = fs::weakly_canonical(path, ec);
  if (ec) out = fs::path(path).lexically_normal();
  if (!out.has_filename() && out.has_relative_path()) out = out.parent_path();
  return out;
}

std::optional<std::string> refusedOutput(const std::string& output,
                                         const std::vector<std::string>& inputs,
                                         const std::string& dataDirectory,
                                         const std::optional<std::string>& liveFolder) {
  if (!isLocalPath(output)) {
    return "The output path " + output + " is not an absolute local file path.";
  }
  // Preparing the output removes what is there: a file or a link, never a device, a FIFO or a
  // socket (as root, "/dev/null" would go). A folder is refused when the output is prepared.
  std::error_code ec;
  const fs::file_status there = fs::symlink_status(output, ec);
  if (fs::exists(there) && !fs::is_regular_file(there) && !fs::is_symlink(there) &&
      !fs::is_directory(there)) {
    return "The output path " + output + " is not a regular file.";
  }
  // Never one of the segments being joined.
  for (const auto& path : inputs) {
    if (sameFile(path, output)) return "The output path is one of the segment paths: " + output;
  }
  // Nor audio of the recording in progress or a segment of any recording.
  const fs::path at = resolved(output);
  if (liveFolder && isAtOrBelow(at, resolved(*liveFolder))) {
    return "The output path " + output + " is inside the folder of the recording in progress.";
  }
  if (!dataDirectory.empty() &&
      at.parent_path().parent_path() == resolved(joinPath(dataDirectory, "recordings")) &&
      isSegmentFileName(at.filename().string())) {
    return "The output path " + output + " is a segment file of a recording.";
  }
  return std::nullopt;
}

// A segment path that is refused before anything is prepared: not a local path, or something
// other than a regular file. Looked at, not opened: opening a FIFO would wait for a writer.
std::optional<std::string> refusedInput(const std::string& path) {
  if (!isLocalPath(path))
    return "The segment path " + path + " is not an absolute local file path.";
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    return "The segment path " + path + " is " + fileKind(st.st_mode) + ", not a regular file.";
  }
  return std::nullopt;
}

// Copies through the descriptor that was checked, so that what is read is a regular file even
// if the name was pointed elsewhere since. The copy is written under a hidden name beside
// `to`, flushed, and renamed to `to` without replacing anything there: `to` never names a
// half copy, and no failure leaves one behind.
OptionalError copyRegularFile(const std::string& from, const std::string& to) {
  const std::string context = "Cannot copy " + from + " to " + to;
  const int in = ::open(from.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (in < 0) return posixError(errno, context);
  struct stat st {};
  const bool examined = fstat(in, &st) == 0;
  if (!examined || !S_ISREG(st.st_mode)) {
    const Error error = examined ? Error{"posix", EINVAL, context + ": not a regular file"}
                                 : posixError(errno, context);
    ::close(in);
    return error;
  }
  if (pathExists(to)) {
    ::close(in);
    return posixError(EEXIST, context);
  }
  const fs::path target(to);
  const std::string staging = (target.parent_path() / ("." + target.filename().string() +
                                                       ".copying-" + std::to_string(::getpid())))
                                  .string();
  ::unlink(staging.c_str());  // what an earlier process of this id left
  const int out = ::open(staging.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                         st.st_mode & 0777);
  if (out < 0) {
    const int err = errno;
    ::close(in);
    return posixError(err, context);
  }
  int err = 0;
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t got = ::read(in, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got < 0) err = errno;
      break;
    }
    for (ssize_t done = 0; done < got && err == 0;) {
      const ssize_t put = ::write(out, buffer + done, static_cast<size_t>(got - done));
      if (put < 0 && errno != EINTR) err = errno;
      if (put > 0) done += put;
    }
    if (err != 0) break;
  }
  ::close(in);
  if (err == 0 && ::fsync(out) != 0) err = errno;
  if (::close(out) != 0 && err == 0) err = errno;
  if (err == 0) {
    if (OptionalError renamed = renameNoReplace(staging, to)) {
      err = renamed->code;
    } else {
      return syncFolderOf(to);
    }
  }
  ::unlink(staging.c_str());
  return posixError(err, context);
}

}  // namespace

void LumewellNativeRecorderPlugin::assembleRecording(const Value& arguments,
                                                     MethodResultPtr result) {
  const ValueMap* args = arguments.asMap();
  const Value* listValue = args != nullptr ? args->find("segmentPaths") : nullptr;
  const ValueList* list = listValue != nullptr ? listValue->asList() : nullptr;
  const std::string* outputPath = mapString(args, "outputPath");
  bool allStrings = list != nullptr;
  if (list != nullptr) {
    for (const auto& item : *list) allStrings = allStrings && item.asString() != nullptr;
  }
  if (!allStrings || outputPath == nullptr || outputPath->empty()) {
    return result->error(errors::kBadArgs, errors::kAssembleArgsMissing);
  }
  std::vector<std::string> paths;
  for (const auto& item : *list) {
    if (!item.asString()->empty()) paths.push_back(*item.asString());
  }
  if (paths.empty()) return result->error(errors::kBadArgs, errors::kNoSegmentPaths);
  const std::string& output = *outputPath;
  auto fail = [result](const char* message, const std::string& why) {
    result->error(errors::kAssembleFailed, message, Value(why));
  };
  // Refusals come before anything is prepared: a refused call changes no file.
  if (auto refused = refusedOutput(output, paths, audio_->dataDirectory(), recordingDirectory_)) {
    return fail(errors::kPrepareOutputFailed, *refused);
  }
  for (const auto& path : paths) {
    if (auto refused = refusedInput(path)) return fail(errors::kAssembleFailedText, *refused);
  }
  // The copy never decodes, so it checks here what the media layer checks for a join: the
  // file opens as MP4 media. A missing file fails as a copy.
  std::error_code ec;
  if (paths.size() == 1 && fs::exists(paths.front(), ec) &&
      !audio_->mediaDurationMs(paths.front())) {
    return fail(errors::kAssembleFailedText,
                "The segment path " + paths.front() + " is not an MP4 audio file.");
  }
  std::string parent = fs::path(output).parent_path().string();
  OptionalError prepared = parent.empty() ? std::nullopt : createDirectories(parent);
  if (!prepared) prepared = removeFileIfPresent(output);
  if (prepared) return fail(errors::kPrepareOutputFailed, prepared->localizedDescription);
  if (paths.size() == 1) {
    OptionalError copied = copyRegularFile(paths.front(), output);
    if (copied) return fail(errors::kCopyOutputFailed, copied->localizedDescription);
    return result->success();
  }
  audio_->composeAudio(std::move(paths), output,
                       [scheduler = &scheduler_, result, fail](OptionalError error) {
                         scheduler->post([result, fail, error = std::move(error)] {
                           if (!error) return result->success();
                           fail(errors::kAssembleFailedText, error->localizedDescription);
                         });
                       });
}

}  // namespace lumewell::recorder
