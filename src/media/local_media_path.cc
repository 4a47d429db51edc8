#include "media/local_media_path.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
}

#include "media/ffmpeg_error.h"
#include "runtime/files.h"

namespace lumewell::media {
namespace {

constexpr int kReadBufferBytes = 64 * 1024;

Error refusal(const std::string& verb, const std::string& path, const std::string& reason) {
  return Error{"posix", EINVAL, "Refused to " + verb + " " + path + ": " + reason + "."};
}

Error notRegular(const std::string& verb, const std::string& path, mode_t mode) {
  return refusal(verb, path, "it is " + fileKind(mode) + ", not a regular file");
}

int readPacket(void* opaque, uint8_t* buffer, int size) {
  const int fd = *static_cast<int*>(opaque);
  for (;;) {
    const ssize_t got = ::read(fd, buffer, static_cast<size_t>(size));
    if (got > 0) return static_cast<int>(got);
    if (got == 0) return AVERROR_EOF;
    if (errno != EINTR) return AVERROR(errno);
  }
}

}  // namespace

int64_t seekDescriptor(void* opaque, int64_t offset, int whence) {
  const int fd = *static_cast<int*>(opaque);
  if (whence & AVSEEK_SIZE) {
    struct stat st {};
    return fstat(fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : AVERROR(errno);
  }
  const off_t at = lseek(fd, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
  return at < 0 ? AVERROR(errno) : static_cast<int64_t>(at);
}

bool supportedInputFormat(int sampleRate, int channels) {
  return sampleRate >= 8000 && sampleRate <= 192000 && channels >= 1 && channels <= 8;
}

std::optional<std::string> nonLocalPathReason(const std::string& path) {
  if (path.empty() || path.front() != '/' || path.find('\0') != std::string::npos) {
    return "only absolute local file paths are allowed";
  }
  return std::nullopt;
}

MediaInput::~MediaInput() {
  avformat_close_input(&format_);  // leaves the caller's I/O context alone
  if (io_ != nullptr) av_freep(&io_->buffer);
  avio_context_free(&io_);
  if (fd_ >= 0) ::close(fd_);
}

Result<std::unique_ptr<MediaInput>> openMediaInput(const std::string& path, bool storedPackets) {
  if (auto reason = nonLocalPathReason(path)) return refusal("read", path, *reason);
  // Looked at before it is opened: opening a FIFO blocks, opening a device may act on it.
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return ffmpegError(AVERROR(errno), "Cannot open " + path);
  if (S_ISDIR(st.st_mode)) return ffmpegError(AVERROR(EISDIR), "Cannot open " + path);
  if (!S_ISREG(st.st_mode)) return notRegular("read", path, st.st_mode);

  std::unique_ptr<MediaInput> input(new MediaInput);
  input->fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (input->fd_ < 0) return ffmpegError(AVERROR(errno), "Cannot open " + path);
  // The name may have been pointed elsewhere since: what counts is what was opened.
  if (fstat(input->fd_, &st) != 0) return ffmpegError(AVERROR(errno), "Cannot open " + path);
  if (!S_ISREG(st.st_mode)) return notRegular("read", path, st.st_mode);

  const AVInputFormat* mp4 = av_find_input_format("mov");
  if (mp4 == nullptr) return ffmpegError(AVERROR_DEMUXER_NOT_FOUND, "Cannot open " + path);
  auto* buffer = static_cast<unsigned char*>(av_malloc(kReadBufferBytes));
  if (buffer != nullptr) {
    input->io_ = avio_alloc_context(buffer, kReadBufferBytes, 0, &input->fd_, readPacket, nullptr,
                                    seekDescriptor);
  }
  if (input->io_ == nullptr) {
    av_free(buffer);
    return ffmpegError(AVERROR(ENOMEM), "Cannot open " + path);
  }
  input->format_ = avformat_alloc_context();
  if (input->format_ == nullptr) return ffmpegError(AVERROR(ENOMEM), "Cannot open " + path);
  input->format_->pb = input->io_;
  AVDictionary* options = nullptr;
  av_dict_set(&options, "protocol_whitelist", "file", 0);
  av_dict_set(&options, "format_whitelist", "mov", 0);
  av_dict_set(&options, "enable_drefs", "0", 0);
  av_dict_set(&options, "use_absolute_path", "0", 0);
  if (storedPackets) av_dict_set(&options, "ignore_editlist", "1", 0);
  // On failure the context is freed and nulled; the I/O context stays ours.
  const int rc = avformat_open_input(&input->format_, localFileUrl(path).c_str(), mp4, &options);
  av_dict_free(&options);
  if (rc < 0) return ffmpegError(rc, "Cannot open " + path);
  return input;
}

OptionalError checkMediaOutputPath(const std::string& path) {
  if (auto reason = nonLocalPathReason(path)) return refusal("write", path, *reason);
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    return notRegular("write", path, st.st_mode);
  }
  return std::nullopt;
}

std::string localFileUrl(const std::string& path) { return "file:" + path; }

int restrictToFiles(AVFormatContext* output) {
  return av_opt_set(output, "protocol_whitelist", "file", 0);
}

OptionalError createPrivateFile(const std::string& path, bool* created) {
  // Non-blocking: a FIFO put there after the check must not hang the open.
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NONBLOCK, 0600);
  *created = fd >= 0;
  if (fd < 0 && errno == EEXIST) fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0 || ::fchmod(fd, 0600) != 0) {
    const int err = errno;
    if (fd >= 0) ::close(fd);
    return ffmpegError(AVERROR(err), "Cannot open " + path);
  }
  ::close(fd);
  return std::nullopt;
}

int openMediaOutput(AVIOContext** io, const std::string& path) {
  AVDictionary* options = nullptr;
  av_dict_set(&options, "protocol_whitelist", "file", 0);
  const int rc = avio_open2(io, localFileUrl(path).c_str(), AVIO_FLAG_WRITE, nullptr, &options);
  av_dict_free(&options);
  return rc;
}

}  // namespace lumewell::media
