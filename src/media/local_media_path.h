#pragma once

#include <memory>
#include <optional>
#include <string>

#include "runtime/error.h"

struct AVFormatContext;
struct AVIOContext;

namespace lumewell::media {

// The audio a decoder accepts, 8-192 kHz and 1-8 channels: anything outside is refused
// before a buffer is sized by it.
bool supportedInputFormat(int sampleRate, int channels);

// Why path is no file to FFmpeg, or none. Only an absolute local path (a leading "/", no NUL)
// is one; anything else ("http://...", "concat:...", "subfile,,...", a relative name) would
// be taken as a URL or resolved against the working folder.
std::optional<std::string> nonLocalPathReason(const std::string& path);

// An MP4/M4A file opened for reading. FFmpeg reads it through a descriptor this opened and
// checked, never by name, so what was checked is what is read.
class MediaInput {
 public:
  ~MediaInput();
  MediaInput(const MediaInput&) = delete;
  MediaInput& operator=(const MediaInput&) = delete;
  AVFormatContext* get() const { return format_; }

 private:
  friend Result<std::unique_ptr<MediaInput>> openMediaInput(const std::string& path,
                                                            bool storedPackets);
  MediaInput() = default;

  int fd_ = -1;
  AVIOContext* io_ = nullptr;
  AVFormatContext* format_ = nullptr;
};

// The seek callback of an AVIOContext whose opaque points at a file descriptor (an int).
int64_t seekDescriptor(void* opaque, int64_t offset, int whence);

// Opens path with the MP4/M4A demuxer only (no probing of other formats), the file protocol
// only for anything the demuxer might open beside it, and external data references off.
// Errors of the domain "posix" are refusals: the path is not an absolute local path, or names
// something other than a regular file or a folder (a FIFO, a device, a socket; checked without
// opening it, so nothing blocks). Errors of the domain "FFmpeg" say the file is not there or
// does not open as MP4 media. With storedPackets the edit list is not applied: every packet
// comes as the file stores it, timestamps from zero.
Result<std::unique_ptr<MediaInput>> openMediaInput(const std::string& path,
                                                   bool storedPackets = false);

// Checks a path that an output file is about to be written at: an absolute local path, and
// anything already there a regular file (a FIFO would block the open, a device would be
// written to). Domain "posix".
[[nodiscard]] OptionalError checkMediaOutputPath(const std::string& path);

// The URL FFmpeg is given for a checked local path: "file:" in front, so that nothing in the
// path can select another protocol.
std::string localFileUrl(const std::string& path);

// Allows output to open nothing but files (the muxer's own reopening for the index in front
// included). AVERROR on failure.
int restrictToFiles(AVFormatContext* output);

// Creates (or keeps) the file at a checked path with mode 0600 whatever the umask: recorded
// audio is private to the user. *created tells whether it was not there before.
[[nodiscard]] OptionalError createPrivateFile(const std::string& path, bool* created);

// avio_open2 of a checked path for writing, through the file protocol only.
int openMediaOutput(AVIOContext** io, const std::string& path);

}  // namespace lumewell::media
