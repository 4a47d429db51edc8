#include "media/aac_file_writer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>

#include "media/ffmpeg_error.h"
#include "media/local_media_path.h"

namespace lumewell::media {

namespace {

// NaN becomes silence; everything else is limited to [-1, 1].
inline float clampSample(float v) {
  return v >= -1.0f ? (v <= 1.0f ? v : 1.0f) : (v < -1.0f ? -1.0f : 0.0f);
}

class FfmpegAacFileWriter final : public AacFileWriter {
 public:
  FfmpegAacFileWriter(std::string path, const AacWriterSettings& settings)
      : path_(std::move(path)), settings_(settings) {}

  ~FfmpegAacFileWriter() override {
    // A writer dropped without finish() still leaves a playable file of what it was given.
    if (state_ == State::open) finish();
    release();
  }

  OptionalError open() {
    if (OptionalError refused = checkMediaOutputPath(path_)) return refused;
    int rc = avformat_alloc_output_context2(&format_, nullptr, "ipod", localFileUrl(path_).c_str());
    if (rc < 0 || format_ == nullptr) return ffmpegError(rc, "Cannot set up " + path_);
    rc = restrictToFiles(format_);
    if (rc < 0) return ffmpegError(rc, "Cannot set up " + path_);

    const AVCodec* codec = avcodec_find_encoder_by_name("aac");
    if (codec == nullptr) return ffmpegError(AVERROR_ENCODER_NOT_FOUND, "AAC encoder");
    encoder_ = avcodec_alloc_context3(codec);
    if (encoder_ == nullptr) return ffmpegError(AVERROR(ENOMEM), "AAC encoder");
    encoder_->sample_fmt = AV_SAMPLE_FMT_FLTP;
    encoder_->sample_rate = settings_.sampleRate;
    av_channel_layout_default(&encoder_->ch_layout, settings_.channels);
    encoder_->bit_rate = settings_.bitRate;
    encoder_->profile = FF_PROFILE_AAC_LOW;
    encoder_->time_base = AVRational{1, settings_.sampleRate};
    if (format_->oformat->flags & AVFMT_GLOBALHEADER) {
      encoder_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    rc = avcodec_open2(encoder_, codec, nullptr);
    if (rc < 0) return ffmpegError(rc, "Cannot open the AAC encoder");
    smallLastFrame_ = (codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME) != 0;

    stream_ = avformat_new_stream(format_, nullptr);
    if (stream_ == nullptr) return ffmpegError(AVERROR(ENOMEM), "Cannot add the audio track");
    stream_->time_base = encoder_->time_base;
    rc = avcodec_parameters_from_context(stream_->codecpar, encoder_);
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

    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    if (frame_ == nullptr || packet_ == nullptr) {
      return ffmpegError(AVERROR(ENOMEM), "AAC encoder");
    }
    frameSize_ = encoder_->frame_size > 0 ? encoder_->frame_size : 1024;
    frame_->format = AV_SAMPLE_FMT_FLTP;
    frame_->sample_rate = settings_.sampleRate;
    av_channel_layout_copy(&frame_->ch_layout, &encoder_->ch_layout);
    frame_->nb_samples = frameSize_;
    rc = av_frame_get_buffer(frame_, 0);
    if (rc < 0) return ffmpegError(rc, "AAC encoder");
    state_ = State::open;
    return std::nullopt;
  }

  OptionalError write(const float* interleaved, size_t frames) override {
    if (state_ != State::open) return writerClosed();
    if (failure_) return failure_;
    const int channels = settings_.channels;
    while (frames > 0) {
      if (fill_ == 0) {
        int rc = av_frame_make_writable(frame_);
        if (rc < 0) return fail(ffmpegError(rc, "AAC encoder"));
      }
      const size_t take = std::min<size_t>(frames, static_cast<size_t>(frameSize_ - fill_));
      if (channels == 1) {
        float* out = reinterpret_cast<float*>(frame_->data[0]) + fill_;
        for (size_t i = 0; i < take; ++i) out[i] = clampSample(interleaved[i]);
      } else {
        for (int c = 0; c < channels; ++c) {
          float* out = reinterpret_cast<float*>(frame_->extended_data[c]) + fill_;
          const float* in = interleaved + c;
          for (size_t i = 0; i < take; ++i) out[i] = clampSample(in[i * channels]);
        }
      }
      interleaved += take * channels;
      frames -= take;
      fill_ += static_cast<int>(take);
      framesWritten_ += static_cast<int64_t>(take);
      if (fill_ == frameSize_) {
        if (auto error = sendFrame()) return fail(*error);
      }
    }
    return std::nullopt;
  }

  OptionalError finish() override {
    if (state_ == State::finished) return failure_;
    if (state_ != State::open) return writerClosed();
    state_ = State::finished;
    if (!failure_ && fill_ > 0) {
      if (!smallLastFrame_) {
        // Pad the last frame with silence when the encoder needs whole frames.
        for (int c = 0; c < settings_.channels; ++c) {
          float* out = reinterpret_cast<float*>(frame_->extended_data[c]);
          std::fill(out + fill_, out + frameSize_, 0.0f);
        }
        fill_ = frameSize_;
      }
      if (auto error = sendFrame()) failure_ = error;
    }
    if (!failure_) {
      int rc = avcodec_send_frame(encoder_, nullptr);
      if (rc < 0) {
        failure_ = ffmpegError(rc, "AAC encoder");
      } else if (auto error = drainPackets()) {
        failure_ = error;
      }
    }
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

  int64_t framesWritten() const override { return framesWritten_; }
  const AacWriterSettings& settings() const override { return settings_; }
  const std::string& path() const override { return path_; }

 private:
  enum class State { created, open, finished, cancelled };

  OptionalError writerClosed() const {
    return Error{"FFmpeg", AVERROR(EINVAL), "The audio file " + path_ + " is already closed."};
  }

  OptionalError fail(Error error) {
    failure_ = error;
    return error;
  }

  OptionalError sendFrame() {
    frame_->nb_samples = fill_;
    frame_->pts = nextPts_;
    nextPts_ += fill_;
    fill_ = 0;
    int rc = avcodec_send_frame(encoder_, frame_);
    frame_->nb_samples = frameSize_;
    if (rc < 0) return ffmpegError(rc, "AAC encoder");
    return drainPackets();
  }

  OptionalError drainPackets() {
    for (;;) {
      int rc = avcodec_receive_packet(encoder_, packet_);
      if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return std::nullopt;
      if (rc < 0) return ffmpegError(rc, "AAC encoder");
      av_packet_rescale_ts(packet_, encoder_->time_base, stream_->time_base);
      packet_->stream_index = stream_->index;
      // One stream only: nothing to interleave, so skip the muxer's interleaving queue.
      rc = av_write_frame(format_, packet_);
      av_packet_unref(packet_);
      if (rc < 0) return ffmpegError(rc, "Cannot write " + path_);
    }
  }

  void release() {
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    avcodec_free_context(&encoder_);
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
  AVCodecContext* encoder_ = nullptr;
  AVStream* stream_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
  int frameSize_ = 1024;
  int fill_ = 0;
  bool smallLastFrame_ = false;
  int64_t nextPts_ = 0;
  int64_t framesWritten_ = 0;
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
  // The libraries' informational chatter (encoder statistics) is not ours to print.
  static std::once_flag quiet;
  std::call_once(quiet, [] {
    if (av_log_get_level() > AV_LOG_ERROR) av_log_set_level(AV_LOG_ERROR);
  });
  auto writer = std::make_unique<FfmpegAacFileWriter>(path, settings);
  if (auto error = writer->open()) {
    writer->cancel();
    return *error;
  }
  return std::unique_ptr<AacFileWriter>(std::move(writer));
}

}  // namespace lumewell::media
