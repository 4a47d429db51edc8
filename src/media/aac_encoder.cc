#include "media/aac_encoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
}

#include <algorithm>
#include <cerrno>
#include <mutex>

#include "media/ffmpeg_error.h"

namespace lumewell::media {

namespace {

inline float clampSample(float v) {
  return v >= -1.0f ? (v <= 1.0f ? v : 1.0f) : (v < -1.0f ? -1.0f : 0.0f);
}

}  // namespace

Result<std::unique_ptr<AacEncoder>> AacEncoder::open(const AacWriterSettings& settings) {
  if (settings.sampleRate <= 0 || settings.channels < 1 || settings.channels > 8 ||
      settings.bitRate <= 0) {
    return Error{"FFmpeg", AVERROR(EINVAL), "Unsupported audio settings"};
  }
  // The libraries' informational chatter (encoder statistics) is not ours to print.
  static std::once_flag quiet;
  std::call_once(quiet, [] {
    if (av_log_get_level() > AV_LOG_ERROR) av_log_set_level(AV_LOG_ERROR);
  });
  const AVCodec* codec = avcodec_find_encoder_by_name("aac");
  if (codec == nullptr) return ffmpegError(AVERROR_ENCODER_NOT_FOUND, "AAC encoder");
  std::unique_ptr<AacEncoder> self(new AacEncoder(settings));
  self->encoder_ = avcodec_alloc_context3(codec);
  self->frame_ = av_frame_alloc();
  self->packet_ = av_packet_alloc();
  if (!self->encoder_ || !self->frame_ || !self->packet_) {
    return ffmpegError(AVERROR(ENOMEM), "AAC encoder");
  }
  AVCodecContext* encoder = self->encoder_;
  encoder->sample_fmt = AV_SAMPLE_FMT_FLTP;
  encoder->sample_rate = settings.sampleRate;
  av_channel_layout_default(&encoder->ch_layout, settings.channels);
  encoder->bit_rate = settings.bitRate;
  encoder->profile = FF_PROFILE_AAC_LOW;
  encoder->time_base = AVRational{1, settings.sampleRate};
  encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;  // an .m4a keeps it in the sample entry
  AVDictionary* options = nullptr;
  av_dict_set(&options, "aac_pns", "0", 0);
  if (settings.fastCoder) av_dict_set(&options, "aac_coder", "fast", 0);
  int rc = avcodec_open2(encoder, codec, &options);
  av_dict_free(&options);
  if (rc < 0) return ffmpegError(rc, "Cannot open the AAC encoder");
  self->frameSize_ = encoder->frame_size > 0 ? encoder->frame_size : 1024;
  AVFrame* frame = self->frame_;
  frame->format = AV_SAMPLE_FMT_FLTP;
  frame->sample_rate = settings.sampleRate;
  av_channel_layout_copy(&frame->ch_layout, &encoder->ch_layout);
  frame->nb_samples = self->frameSize_;
  rc = av_frame_get_buffer(frame, 0);
  if (rc < 0) return ffmpegError(rc, "AAC encoder");
  return self;
}

AacEncoder::~AacEncoder() {
  av_frame_free(&frame_);
  av_packet_free(&packet_);
  avcodec_free_context(&encoder_);
}

OptionalError AacEncoder::write(const float* interleaved, size_t frames, const PacketSink& sink) {
  if (flushed_) return Error{"FFmpeg", AVERROR(EINVAL), "The AAC encoder is flushed."};
  const int channels = settings_.channels;
  while (frames > 0) {
    if (fill_ == 0) {
      const int rc = av_frame_make_writable(frame_);
      if (rc < 0) return ffmpegError(rc, "AAC encoder");
    }
    const size_t take = std::min<size_t>(frames, static_cast<size_t>(frameSize_ - fill_));
    for (int c = 0; c < channels; ++c) {
      float* out = reinterpret_cast<float*>(frame_->extended_data[c]) + fill_;
      const float* in = interleaved + c;
      for (size_t i = 0; i < take; ++i) out[i] = clampSample(in[i * channels]);
    }
    interleaved += take * static_cast<size_t>(channels);
    frames -= take;
    fill_ += static_cast<int>(take);
    framesWritten_ += static_cast<int64_t>(take);
    if (fill_ == frameSize_) {
      if (auto error = sendFrame(sink)) return error;
    }
  }
  return std::nullopt;
}

OptionalError AacEncoder::flush(const PacketSink& sink) {
  if (flushed_) return std::nullopt;
  flushed_ = true;
  // The encoder takes a short last frame (AV_CODEC_CAP_SMALL_LAST_FRAME).
  if (fill_ > 0) {
    if (auto error = sendFrame(sink)) return error;
  }
  const int rc = avcodec_send_frame(encoder_, nullptr);
  if (rc < 0) return ffmpegError(rc, "AAC encoder");
  return drain(sink);
}

OptionalError AacEncoder::sendFrame(const PacketSink& sink) {
  frame_->nb_samples = fill_;
  frame_->pts = nextPts_;
  nextPts_ += fill_;
  fill_ = 0;
  const int rc = avcodec_send_frame(encoder_, frame_);
  frame_->nb_samples = frameSize_;
  if (rc < 0) return ffmpegError(rc, "AAC encoder");
  return drain(sink);
}

OptionalError AacEncoder::drain(const PacketSink& sink) {
  for (;;) {
    const int rc = avcodec_receive_packet(encoder_, packet_);
    if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return std::nullopt;
    if (rc < 0) return ffmpegError(rc, "AAC encoder");
    if (packet_->duration <= 0) packet_->duration = frameSize_;
    OptionalError error = sink(packet_);
    av_packet_unref(packet_);
    if (error) return error;
  }
}

}  // namespace lumewell::media
