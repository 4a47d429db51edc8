#include "media/audio_decoder.h"

#include <algorithm>
#include <cstring>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include "media/ffmpeg_error.h"
#include "media/local_media_path.h"

namespace lumewell::media {

namespace {

// A track that decodes shorter than its header says is filled with at most this much silence;
// a larger shortfall means a damaged file, which then ends where its audio ends.
constexpr int64_t kMaxFillFrames = kComposeSampleRate;

class FfmpegAudioDecoder final : public AudioDecoder {
 public:
  explicit FfmpegAudioDecoder(std::string path) : path_(std::move(path)) {}

  ~FfmpegAudioDecoder() override {
    swr_free(&swr_);
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    avcodec_free_context(&codec_);
  }

  // Answers false (no error) when the file has no usable audio track; a path that is refused
  // (not a local regular file) is an error.
  Result<bool> init() {
    Result<std::unique_ptr<MediaInput>> opened = openMediaInput(path_);
    if (!opened) {
      if (opened.error().domain == "FFmpeg") return false;
      return opened.error();
    }
    input_ = std::move(*opened);
    format_ = input_->get();
    streamIndex_ = firstAudioStream();
    if (streamIndex_ < 0) return false;
    const AVCodecParameters* given = format_->streams[streamIndex_]->codecpar;
    if (given->sample_rate == 0 || given->ch_layout.nb_channels == 0) {
      // A sample description without rate or channel count: the packets tell.
      if (avformat_find_stream_info(format_, nullptr) < 0) return false;
    }
    AVStream* stream = format_->streams[streamIndex_];
    const AVCodecParameters* par = stream->codecpar;
    if (!supportedInputFormat(par->sample_rate, par->ch_layout.nb_channels)) {
      return unsupported(par->sample_rate, par->ch_layout.nb_channels);
    }
    for (unsigned i = 0; i < format_->nb_streams; ++i) {
      if (static_cast<int>(i) != streamIndex_) format_->streams[i]->discard = AVDISCARD_ALL;
    }
    const AVCodec* decoder = avcodec_find_decoder(par->codec_id);
    if (!decoder) {
      return ffmpegError(AVERROR_DECODER_NOT_FOUND, "No decoder for the audio of " + path_);
    }
    codec_ = avcodec_alloc_context3(decoder);
    packet_ = av_packet_alloc();
    frame_ = av_frame_alloc();
    if (!codec_ || !packet_ || !frame_) return ffmpegError(AVERROR(ENOMEM), path_);
    int rc = avcodec_parameters_to_context(codec_, par);
    if (rc < 0) return ffmpegError(rc, "Cannot set up the decoder for " + path_);
    codec_->pkt_timebase = stream->time_base;
    codec_->thread_count = 1;
    rc = avcodec_open2(codec_, decoder, nullptr);
    if (rc < 0) return ffmpegError(rc, "Cannot open the decoder for " + path_);

    info_.channels = par->ch_layout.nb_channels == 1 ? 1 : 2;
    // The declared duration bounds what is decoded; a track that declares none is refused.
    // The demuxer has already taken the edit list's priming off the stream's duration.
    int64_t declared = -1;
    if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0 && stream->time_base.num > 0 &&
        stream->time_base.den > 0) {
      declared = av_rescale_q_rnd(stream->duration, stream->time_base,
                                  AVRational{1, kComposeSampleRate}, AV_ROUND_NEAR_INF);
    } else if (format_->duration != AV_NOPTS_VALUE && format_->duration >= 0) {
      declared = av_rescale_q_rnd(format_->duration, AVRational{1, AV_TIME_BASE},
                                  AVRational{1, kComposeSampleRate}, AV_ROUND_NEAR_INF);
    }
    if (declared < 0) {
      return ffmpegError(AVERROR_INVALIDDATA,
                         "The audio track of " + path_ + " declares no duration");
    }
    info_.durationFrames = declared;
    return true;
  }

  const AudioInputInfo& info() const override { return info_; }

  Result<size_t> read(float* out, size_t maxFrames) override {
    const size_t ch = static_cast<size_t>(info_.channels);
    size_t produced = 0;
    while (produced < maxFrames) {
      if (emitted_ >= info_.durationFrames) break;
      const size_t want = std::min<size_t>(maxFrames - produced,
                                           static_cast<size_t>(info_.durationFrames - emitted_));
      const size_t available = pending_.size() / ch - pendingOffset_;
      if (available > 0) {
        const size_t n = std::min(want, available);
        std::memcpy(out + produced * ch, pending_.data() + pendingOffset_ * ch,
                    n * ch * sizeof(float));
        pendingOffset_ += n;
        produced += n;
        emitted_ += static_cast<int64_t>(n);
        if (pendingOffset_ * ch == pending_.size()) {
          pending_.clear();
          pendingOffset_ = 0;
        }
        continue;
      }
      if (!drained_) {
        if (OptionalError error = decodeMore()) return *error;
        continue;
      }
      // Everything decoded, yet the duration says more: the missing tail is silence.
      if (filled_ >= kMaxFillFrames) break;
      const size_t n = std::min<size_t>(want, static_cast<size_t>(kMaxFillFrames - filled_));
      std::fill(out + produced * ch, out + (produced + n) * ch, 0.0f);
      filled_ += static_cast<int64_t>(n);
      produced += n;
      emitted_ += static_cast<int64_t>(n);
    }
    return produced;
  }

 private:
  int firstAudioStream() const {
    for (unsigned i = 0; i < format_->nb_streams; ++i) {
      if (format_->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
        return static_cast<int>(i);
      }
    }
    return -1;
  }

  Error unsupported(int sampleRate, int channels) const {
    return ffmpegError(AVERROR_INVALIDDATA, "Unsupported audio in " + path_ + " (" +
                                                std::to_string(sampleRate) + " Hz, " +
                                                std::to_string(channels) + " channels)");
  }

  // Decodes at least one more frame into pending_, or marks the track drained.
  OptionalError decodeMore() {
    for (;;) {
      int rc = avcodec_receive_frame(codec_, frame_);
      if (rc == 0) {
        OptionalError error = appendFrame();
        av_frame_unref(frame_);
        return error;
      }
      if (rc == AVERROR_EOF || (rc == AVERROR(EAGAIN) && demuxEnded_)) {
        drained_ = true;
        return flushResampler();
      }
      if (rc != AVERROR(EAGAIN)) return ffmpegError(rc, "Cannot decode " + path_);
      rc = av_read_frame(format_, packet_);
      if (rc == AVERROR_EOF) {
        demuxEnded_ = true;
        avcodec_send_packet(codec_, nullptr);
        continue;
      }
      if (rc < 0) return ffmpegError(rc, "Cannot read " + path_);
      if (packet_->stream_index == streamIndex_) rc = avcodec_send_packet(codec_, packet_);
      av_packet_unref(packet_);
      if (rc < 0 && rc != AVERROR(EAGAIN)) return ffmpegError(rc, "Cannot decode " + path_);
    }
  }

  OptionalError appendFrame() {
    const int frameChannels = frame_->ch_layout.nb_channels;
    const int frames = frame_->nb_samples;
    if (frames <= 0) return std::nullopt;
    // The decoder may find other values than the header: they are held to the same bounds.
    if (!supportedInputFormat(frame_->sample_rate, frameChannels)) {
      return unsupported(frame_->sample_rate, frameChannels);
    }
    const bool planar = frame_->format == AV_SAMPLE_FMT_FLTP;
    const bool packed = frame_->format == AV_SAMPLE_FMT_FLT;
    const size_t outCh = static_cast<size_t>(info_.channels);
    // AAC decodes to planar float at the file's rate: interleave it by hand, and copy a mono
    // track into both channels at its own level where needed (a mixing matrix would lower it).
    if (!swr_ && frame_->sample_rate == kComposeSampleRate && (planar || packed) &&
        (frameChannels == static_cast<int>(outCh) || frameChannels == 1)) {
      const size_t base = pending_.size();
      pending_.resize(base + static_cast<size_t>(frames) * outCh);
      float* dst = pending_.data() + base;
      for (size_t c = 0; c < outCh; ++c) {
        const size_t srcC = frameChannels == 1 ? 0 : c;
        if (planar) {
          const float* src = reinterpret_cast<const float*>(frame_->extended_data[srcC]);
          for (int i = 0; i < frames; ++i) dst[i * outCh + c] = src[i];
        } else {
          const float* src = reinterpret_cast<const float*>(frame_->extended_data[0]);
          const size_t fc = static_cast<size_t>(frameChannels);
          for (int i = 0; i < frames; ++i) dst[i * outCh + c] = src[i * fc + srcC];
        }
      }
      return std::nullopt;
    }
    if (!swr_) {
      if (OptionalError error = setUpResampler()) return error;
    } else if (frame_->sample_rate != swrInRate_ || frame_->format != swrInFormat_ ||
               frameChannels != swrInChannels_) {
      return ffmpegError(AVERROR_INVALIDDATA, "Audio format changes within " + path_);
    }
    const int capacity = swr_get_out_samples(swr_, frames);
    if (capacity < 0) return ffmpegError(capacity, "Cannot resample " + path_);
    return convert(const_cast<const uint8_t**>(frame_->extended_data), frames, capacity);
  }

  OptionalError setUpResampler() {
    AVChannelLayout outLayout;
    av_channel_layout_default(&outLayout, info_.channels);
    int rc = swr_alloc_set_opts2(&swr_, &outLayout, AV_SAMPLE_FMT_FLT, kComposeSampleRate,
                                 &frame_->ch_layout, static_cast<AVSampleFormat>(frame_->format),
                                 frame_->sample_rate, 0, nullptr);
    av_channel_layout_uninit(&outLayout);
    if (rc >= 0) rc = swr_init(swr_);
    if (rc < 0) return ffmpegError(rc, "Cannot set up resampling for " + path_);
    swrInRate_ = frame_->sample_rate;
    swrInFormat_ = frame_->format;
    swrInChannels_ = frame_->ch_layout.nb_channels;
    return std::nullopt;
  }

  OptionalError convert(const uint8_t** in, int inFrames, int capacity) {
    const size_t ch = static_cast<size_t>(info_.channels);
    const size_t base = pending_.size();
    pending_.resize(base + static_cast<size_t>(capacity) * ch);
    uint8_t* outPlanes[1] = {reinterpret_cast<uint8_t*>(pending_.data() + base)};
    const int got = swr_convert(swr_, outPlanes, capacity, in, inFrames);
    if (got < 0) {
      pending_.resize(base);
      return ffmpegError(got, "Cannot resample " + path_);
    }
    pending_.resize(base + static_cast<size_t>(got) * ch);
    return std::nullopt;
  }

  OptionalError flushResampler() {
    if (!swr_) return std::nullopt;
    const int capacity = swr_get_out_samples(swr_, 0);
    if (capacity <= 0) return std::nullopt;
    return convert(nullptr, 0, capacity);
  }

  std::string path_;
  std::unique_ptr<MediaInput> input_;
  AVFormatContext* format_ = nullptr;  // input_'s
  AVCodecContext* codec_ = nullptr;
  AVPacket* packet_ = nullptr;
  AVFrame* frame_ = nullptr;
  SwrContext* swr_ = nullptr;
  int swrInRate_ = 0;
  int swrInFormat_ = -1;
  int swrInChannels_ = 0;
  int streamIndex_ = -1;
  AudioInputInfo info_;
  std::vector<float> pending_;  // decoded, interleaved, not yet handed out
  size_t pendingOffset_ = 0;    // frames of pending_ already handed out
  int64_t emitted_ = 0;
  int64_t filled_ = 0;
  bool demuxEnded_ = false;
  bool drained_ = false;
};

}  // namespace

Result<std::unique_ptr<AudioDecoder>> AudioDecoder::open(const std::string& path) {
  auto decoder = std::make_unique<FfmpegAudioDecoder>(path);
  Result<bool> opened = decoder->init();
  if (!opened) return opened.error();
  if (!*opened) return std::unique_ptr<AudioDecoder>();
  return std::unique_ptr<AudioDecoder>(std::move(decoder));
}

}  // namespace lumewell::media
