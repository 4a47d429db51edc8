#include "media/aac_file_writer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <unistd.h>

#include <cerrno>

#include "media/aac_encoder.h"
#include "media/ffmpeg_error.h"
#include "media/local_media_path.h"

namespace lumewell::media {

namespace {

class FfmpegAacFileWriter final : public AacFileWriter {
 public:
  FfmpegAacFileWriter(std::string path, const AacWriterSettings& settings)
      : path_(std::move(path)), settings_(settings) {}

  ~FfmpegAacFileWriter() override {
    // A writer dropped without finish() still leaves a playable file of what it was given.
    if (state_ == State::open) (void)finish();
    release();
  }

  OptionalError open() {
    if (OptionalError refused = checkMediaOutputPath(path_)) return refused;
    int rc = avformat_alloc_output_context2(&format_, nullptr, "ipod", localFileUrl(path_).c_str());
    if (rc < 0 || format_ == nullptr) return ffmpegError(rc, "Cannot set up " + path_);
    rc = restrictToFiles(format_);
    if (rc < 0) return ffmpegError(rc, "Cannot set up " + path_);
    auto encoder = AacEncoder::open(settings_);
    if (!encoder) return encoder.error();
    encoder_ = std::move(encoder).value();

    stream_ = avformat_new_stream(format_, nullptr);
    if (stream_ == nullptr) return ffmpegError(AVERROR(ENOMEM), "Cannot add the audio track");
    stream_->time_base = encoder_->context()->time_base;
    rc = avcodec_parameters_from_context(stream_->codecpar, encoder_->context());
    if (rc < 0) return ffmpegError(rc, "Cannot add the audio track");

    if (OptionalError error = createPrivateFile(path_, &createdFile_)) return error;
    rc = openMediaOutput(&format_->pb, path_);
    if (rc < 0) return ffmpegError(rc, "Cannot open " + path_);
    AVDictionary* options = nullptr;
    if (settings_.fastStart) av_dict_set(&options, "movflags", "+faststart", 0);
    // Edit list and header durations in samples, not milliseconds, so the priming cut and the
    // duration are exact.
    av_dict_set_int(&options, "movie_timescale", settings_.sampleRate, 0);
    rc = avformat_write_header(format_, &options);
    av_dict_free(&options);
    if (rc < 0) return ffmpegError(rc, "Cannot write the header of " + path_);
    state_ = State::open;
    return std::nullopt;
  }

  OptionalError write(const float* interleaved, size_t frames) override {
    if (state_ != State::open) return writerClosed();
    if (!failure_) failure_ = encoder_->write(interleaved, frames, muxer());
    return failure_;
  }

  OptionalError finish() override {
    if (state_ == State::finished) return failure_;
    if (state_ != State::open) return writerClosed();
    state_ = State::finished;
    if (!failure_) failure_ = encoder_->flush(muxer());
    if (!failure_) {
      int rc = av_write_trailer(format_);
      if (rc < 0) failure_ = ffmpegError(rc, "Cannot finish " + path_);
    }
    int rc = avio_closep(&format_->pb);
    if (rc < 0 && !failure_) failure_ = ffmpegError(rc, "Cannot close " + path_);
    release();
    return failure_;
  }

  void cancel() override {
    if (state_ == State::cancelled) return;
    const bool hadFile = format_ != nullptr && format_->pb != nullptr;
    if (hadFile) avio_closep(&format_->pb);
    release();
    if (hadFile || createdFile_ || state_ == State::finished) ::unlink(path_.c_str());
    state_ = State::cancelled;
  }

  int64_t framesWritten() const override { return encoder_ ? encoder_->framesWritten() : 0; }
  const AacWriterSettings& settings() const override { return settings_; }

 private:
  enum class State { created, open, finished, cancelled };

  OptionalError writerClosed() const {
    return Error{"FFmpeg", AVERROR(EINVAL), "The audio file " + path_ + " is already closed."};
  }

  AacEncoder::PacketSink muxer() {
    return [this](AVPacket* packet) -> OptionalError {
      av_packet_rescale_ts(packet, encoder_->context()->time_base, stream_->time_base);
      packet->stream_index = stream_->index;
      // One stream only: nothing to interleave, so skip the muxer's interleaving queue.
      const int rc = av_write_frame(format_, packet);
      if (rc < 0) return ffmpegError(rc, "Cannot write " + path_);
      return std::nullopt;
    };
  }

  void release() {
    if (format_ != nullptr) {
      if (format_->pb != nullptr) avio_closep(&format_->pb);
      avformat_free_context(format_);
      format_ = nullptr;
    }
  }

  std::string path_;
  AacWriterSettings settings_;
  State state_ = State::created;
  AVFormatContext* format_ = nullptr;
  std::unique_ptr<AacEncoder> encoder_;
  AVStream* stream_ = nullptr;
  bool createdFile_ = false;
  OptionalError failure_;
};

}  // namespace

Result<std::unique_ptr<AacFileWriter>> AacFileWriter::create(const std::string& path,
                                                             const AacWriterSettings& settings) {
  if (settings.sampleRate <= 0 || settings.channels < 1 || settings.channels > 8 ||
      settings.bitRate <= 0) {
    return Error{"FFmpeg", AVERROR(EINVAL), "Unsupported audio settings for " + path};
  }
  auto writer = std::make_unique<FfmpegAacFileWriter>(path, settings);
  if (auto error = writer->open()) {
    writer->cancel();
    return *error;
  }
  return std::unique_ptr<AacFileWriter>(std::move(writer));
}

}  // namespace lumewell::media
