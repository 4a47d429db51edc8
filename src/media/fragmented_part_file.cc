#include "media/fragmented_part_file.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "media/ffmpeg_error.h"
#include "media/local_media_path.h"
#include "media/segment_files.h"

namespace lumewell::media {

namespace {

constexpr int kWriteBufferBytes = 64 * 1024;

// FFmpeg 5.1 declares the buffer non-const.
int writeAll(void* opaque, uint8_t* data, int size) {
  const int fd = *static_cast<int*>(opaque);
  for (int done = 0; done < size;) {
    const ssize_t put = ::write(fd, data + done, static_cast<size_t>(size - done));
    if (put < 0) {
      if (errno == EINTR) continue;
      return AVERROR(errno);
    }
    done += static_cast<int>(put);
  }
  return size;
}

bool readFully(int fd, uint8_t* into, size_t size, off_t at) {
  for (size_t done = 0; done < size;) {
    const ssize_t got = ::pread(fd, into + done, size - done, at + static_cast<off_t>(done));
    if (got <= 0) {
      if (got < 0 && errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(got);
  }
  return true;
}

uint64_t bigEndian(const uint8_t* bytes, int count) {
  uint64_t value = 0;
  for (int i = 0; i < count; ++i) value = (value << 8) | bytes[i];
  return value;
}

}  // namespace

Result<std::unique_ptr<FragmentedPartFile>> FragmentedPartFile::create(const std::string& path) {
  if (auto error = checkMediaOutputPath(path)) return *error;
  const int fd =
      ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
  if (fd < 0) return posixError(errno, "Cannot create " + path);
  if (::fchmod(fd, 0600) != 0) {
    const int err = errno;
    ::close(fd);
    ::unlink(path.c_str());
    return posixError(err, "Cannot create " + path);
  }
  return std::unique_ptr<FragmentedPartFile>(new FragmentedPartFile(path, fd));
}

FragmentedPartFile::~FragmentedPartFile() {
  av_packet_free(&scratch_);
  if (format_ != nullptr) avformat_free_context(format_);
  if (io_ != nullptr) av_freep(&io_->buffer);
  avio_context_free(&io_);
  if (fd_ >= 0) ::close(fd_);
}

OptionalError FragmentedPartFile::begin(
    const AVCodecParameters& codec, int sampleRate,
    const std::vector<std::pair<std::string, std::string>>& tags) {
  if (format_ != nullptr) return std::nullopt;
  auto* buffer = static_cast<unsigned char*>(av_malloc(kWriteBufferBytes));
  if (buffer != nullptr) {
    io_ = avio_alloc_context(buffer, kWriteBufferBytes, 1, &fd_, nullptr, writeAll, seekDescriptor);
  }
  if (io_ == nullptr) av_free(buffer);
  scratch_ = av_packet_alloc();
  int rc = avformat_alloc_output_context2(&format_, nullptr, "ipod", nullptr);
  if (io_ == nullptr || scratch_ == nullptr || rc < 0 || format_ == nullptr) {
    return ffmpegError(rc < 0 ? rc : AVERROR(ENOMEM), "Cannot set up " + path_);
  }
  format_->pb = io_;
  format_->flags |= AVFMT_FLAG_CUSTOM_IO;
  AVStream* stream = avformat_new_stream(format_, nullptr);
  if (stream == nullptr) return ffmpegError(AVERROR(ENOMEM), "Cannot add the audio track");
  stream->time_base = AVRational{1, sampleRate};
  rc = avcodec_parameters_copy(stream->codecpar, &codec);
  if (rc < 0) return ffmpegError(rc, "Cannot add the audio track");
  for (const auto& [key, value] : tags) {
    av_dict_set(&format_->metadata, key.c_str(), value.c_str(), 0);
  }
  AVDictionary* options = nullptr;
  // The index goes in front, empty; each fragment carries its own.
  av_dict_set(&options, "movflags", "frag_custom+empty_moov+default_base_moof+use_metadata_tags",
              0);
  av_dict_set_int(&options, "movie_timescale", sampleRate, 0);
  rc = restrictToFiles(format_);
  if (rc >= 0) rc = avformat_write_header(format_, &options);
  av_dict_free(&options);
  if (rc < 0) return ffmpegError(rc, "Cannot write the header of " + path_);
  return flushFragment();
}

OptionalError FragmentedPartFile::write(const AVPacket& packet, int64_t pts) {
  if (format_ == nullptr) return Error{"FFmpeg", AVERROR(EINVAL), path_ + " has no header."};
  int rc = av_packet_ref(scratch_, &packet);
  if (rc < 0) return ffmpegError(rc, "Cannot write " + path_);
  scratch_->pts = scratch_->dts = pts;
  scratch_->stream_index = 0;
  rc = av_write_frame(format_, scratch_);
  av_packet_unref(scratch_);
  if (rc < 0) return ffmpegError(rc, "Cannot write " + path_);
  pending_ = true;
  return std::nullopt;
}

OptionalError FragmentedPartFile::flushFragment() {
  if (format_ == nullptr) return std::nullopt;
  if (pending_) {
    const int rc = av_write_frame(format_, nullptr);
    if (rc < 0) return ffmpegError(rc, "Cannot write " + path_);
    pending_ = false;
  }
  avio_flush(io_);
  if (io_->error < 0) return ffmpegError(io_->error, "Cannot write " + path_);
  if (::fdatasync(fd_) != 0) return posixError(errno, "Cannot write " + path_ + " to the disk");
  if (!folderSynced_) {
    // The file's name must survive a power cut as well as its data.
    if (auto error = syncFolderOf(path_)) return error;
    folderSynced_ = true;
  }
  const off_t end = ::lseek(fd_, 0, SEEK_CUR);
  if (end < 0) return posixError(errno, "Cannot write " + path_);
  durableBytes_ = end;
  return std::nullopt;
}

OptionalError FragmentedPartFile::truncateToLastFragment() {
  if (::ftruncate(fd_, static_cast<off_t>(durableBytes_)) != 0 || ::fdatasync(fd_) != 0) {
    return posixError(errno, "Cannot cut " + path_ + " back to its last fragment");
  }
  return std::nullopt;
}

Result<int64_t> lastWholeFragmentEnd(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return posixError(errno, "Cannot open " + path);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const int err = errno;
    ::close(fd);
    return posixError(S_ISREG(st.st_mode) ? err : EINVAL, "Cannot read " + path);
  }
  const int64_t size = st.st_size;
  int64_t at = 0;
  int64_t whole = 0;
  bool header = false;
  bool fragmentOpen = false;
  for (;;) {
    uint8_t box[16];
    if (at + 8 > size || !readFully(fd, box, 8, at)) break;
    uint64_t length = bigEndian(box, 4);
    if (length == 1) {
      if (at + 16 > size || !readFully(fd, box + 8, 8, at + 8)) break;
      length = bigEndian(box + 8, 8);
    }
    // A box "to the end of the file" (length 0) or shorter than its header ends the scan.
    if (length < 8 || length > static_cast<uint64_t>(size - at)) break;
    const int64_t end = at + static_cast<int64_t>(length);
    if (std::memcmp(box + 4, "moov", 4) == 0) {
      header = true;
      whole = end;
    } else if (std::memcmp(box + 4, "moof", 4) == 0) {
      fragmentOpen = true;
    } else if (std::memcmp(box + 4, "mdat", 4) == 0 && fragmentOpen && header) {
      fragmentOpen = false;
      whole = end;
    }
    at = end;
  }
  ::close(fd);
  return header ? whole : 0;
}

}  // namespace lumewell::media
