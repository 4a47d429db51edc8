#include "media/segmented_aac_writer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
}

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <mutex>
#include <random>

#include "media/ffmpeg_error.h"
#include "media/local_media_path.h"

namespace lumewell::media {

namespace {

// Encoded packets kept back from the current file, so a cut that comes a little late (the
// timer behind the sample clock) still lands where it was meant: about a third of a second.
constexpr size_t kHoldbackPackets = 16;

inline float clampSample(float v) {
  return v >= -1.0f ? (v <= 1.0f ? v : 1.0f) : (v < -1.0f ? -1.0f : 0.0f);
}

struct PacketDeleter {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;

// One .m4a of the run; its timestamps count from the run sample firstSample.
struct OutputFile {
  std::string path;
  int64_t firstSample = 0;
  AVFormatContext* format = nullptr;
  AVStream* stream = nullptr;
};

class FfmpegSegmentedAacWriter final : public SegmentedAacWriter {
 public:
  FfmpegSegmentedAacWriter(const AacWriterSettings& settings, std::string runId)
      : settings_(settings), runId_(std::move(runId)) {}

  ~FfmpegSegmentedAacWriter() override {
    if (state_ == State::open) finish();
    closeFile(current_, false);
    closeFile(next_, false);
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    av_packet_free(&scratch_);
    avcodec_free_context(&encoder_);
  }

  OptionalError open(const std::string& path) {
    const AVCodec* codec = avcodec_find_encoder_by_name("aac");
    if (codec == nullptr) return ffmpegError(AVERROR_ENCODER_NOT_FOUND, "AAC encoder");
    encoder_ = avcodec_alloc_context3(codec);
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    scratch_ = av_packet_alloc();
    if (!encoder_ || !frame_ || !packet_ || !scratch_) {
      return ffmpegError(AVERROR(ENOMEM), "AAC encoder");
    }
    encoder_->sample_fmt = AV_SAMPLE_FMT_FLTP;
    encoder_->sample_rate = settings_.sampleRate;
    av_channel_layout_default(&encoder_->ch_layout, settings_.channels);
    encoder_->bit_rate = settings_.bitRate;
    encoder_->profile = FF_PROFILE_AAC_LOW;
    encoder_->time_base = AVRational{1, settings_.sampleRate};
    encoder_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;  // the .m4a keeps it in the sample entry
    // No noise substitution: its decoder draws the noise from a generator that runs through
    // the whole stream, so a file decoded alone would not give the run's samples.
    AVDictionary* options = nullptr;
    av_dict_set(&options, "aac_pns", "0", 0);
    int rc = avcodec_open2(encoder_, codec, &options);
    av_dict_free(&options);
    if (rc < 0) return ffmpegError(rc, "Cannot open the AAC encoder");
    frameSize_ = encoder_->frame_size > 0 ? encoder_->frame_size : 1024;
    frame_->format = AV_SAMPLE_FMT_FLTP;
    frame_->sample_rate = settings_.sampleRate;
    av_channel_layout_copy(&frame_->ch_layout, &encoder_->ch_layout);
    frame_->nb_samples = frameSize_;
    rc = av_frame_get_buffer(frame_, 0);
    if (rc < 0) return ffmpegError(rc, "AAC encoder");
    current_.path = path;
    if (auto error = openFile(current_)) return error;
    state_ = State::open;
    return std::nullopt;
  }

  OptionalError write(const float* interleaved, size_t frames) override {
    if (state_ != State::open) return closed();
    if (failure_) return failure_;
    const int channels = settings_.channels;
    while (frames > 0) {
      if (fill_ == 0) {
        int rc = av_frame_make_writable(frame_);
        if (rc < 0) return fail(ffmpegError(rc, "AAC encoder"));
      }
      const size_t take = std::min<size_t>(frames, static_cast<size_t>(frameSize_ - fill_));
      for (int c = 0; c < channels; ++c) {
        float* out = reinterpret_cast<float*>(frame_->extended_data[c]) + fill_;
        const float* in = interleaved + c;
        for (size_t i = 0; i < take; ++i) out[i] = clampSample(in[i * channels]);
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

  Result<int64_t> cut(int64_t at, const std::string& nextPath) override {
    if (state_ != State::open) return *closed();
    if (failure_) return *failure_;
    if (cutPending_) {
      return Error{"FFmpeg", AVERROR(EBUSY), "The previous file of the run is not complete yet."};
    }
    // The packets already in the current file stay there; the earlier file is never empty.
    at = std::max({at, writtenEnd_, current_.firstSample + 1});
    next_ = OutputFile{nextPath, at};
    if (auto error = openFile(next_)) {
      closeFile(next_, true);
      return *error;
    }
    cutAt_ = at;
    cutPending_ = true;
    if (writtenEnd_ == at) {
      if (auto error = switchFile()) return *fail(*error);
    }
    if (auto error = pump(false)) return *fail(*error);
    return at;
  }

  bool cutPending() const override { return cutPending_; }

  OptionalError finish() override {
    if (state_ == State::finished) return failure_;
    if (state_ != State::open) return closed();
    state_ = State::finished;
    if (!failure_ && fill_ > 0) failure_ = sendFrame();
    if (!failure_) {
      int rc = avcodec_send_frame(encoder_, nullptr);
      failure_ = rc < 0 ? ffmpegError(rc, "AAC encoder") : drainPackets();
    }
    if (!failure_) failure_ = pump(true);
    if (cutPending_) {
      // The run ended before the cut: everything is in the current file.
      closeFile(next_, true);
      cutPending_ = false;
    }
    if (auto error = finishFile(current_); error && !failure_) failure_ = error;
    return failure_;
  }

  void cancel() override {
    if (state_ == State::cancelled) return;
    closeFile(current_, true);
    closeFile(next_, true);
    state_ = State::cancelled;
  }

  int64_t framesWritten() const override { return framesWritten_; }
  int64_t currentFileStart() const override { return cutPending_ ? cutAt_ : current_.firstSample; }
  const std::string& runId() const override { return runId_; }
  const AacWriterSettings& settings() const override { return settings_; }

 private:
  enum class State { created, open, finished, cancelled };

  OptionalError closed() const {
    return Error{"FFmpeg", AVERROR(EINVAL), "The audio file " + current_.path + " is closed."};
  }

  OptionalError fail(Error error) {
    if (!failure_) failure_ = error;
    return failure_;
  }

  OptionalError openFile(OutputFile& file) {
    int rc = avformat_alloc_output_context2(&file.format, nullptr, "ipod", file.path.c_str());
    if (rc < 0 || file.format == nullptr) return ffmpegError(rc, "Cannot set up " + file.path);
    file.stream = avformat_new_stream(file.format, nullptr);
    if (file.stream == nullptr) return ffmpegError(AVERROR(ENOMEM), "Cannot add the audio track");
    file.stream->time_base = encoder_->time_base;
    rc = avcodec_parameters_from_context(file.stream->codecpar, encoder_);
    if (rc < 0) return ffmpegError(rc, "Cannot add the audio track");
    AVDictionary* options = nullptr;
    if (!runId_.empty()) {
      av_dict_set(&file.format->metadata, kRunIdTag, runId_.c_str(), 0);
      av_dict_set_int(&file.format->metadata, kFirstSampleTag, file.firstSample, 0);
      av_dict_set(&options, "movflags", "+use_metadata_tags", 0);
    }
    if (settings_.fastStart) av_dict_set(&options, "movflags", "+faststart", AV_DICT_APPEND);
    // Edit list and durations in samples, so the hidden samples and the length are exact.
    av_dict_set_int(&options, "movie_timescale", settings_.sampleRate, 0);
    bool created = false;
    OptionalError opened = checkMediaOutputPath(file.path);
    if (!opened) opened = createPrivateFile(file.path, &created);
    if (opened) {
      av_dict_free(&options);
      return opened;
    }
    rc = openMediaOutput(&file.format->pb, file.path);
    if (rc >= 0) rc = avformat_write_header(file.format, &options);
    av_dict_free(&options);
    if (rc < 0) return ffmpegError(rc, "Cannot write the header of " + file.path);
    return std::nullopt;
  }

  OptionalError finishFile(OutputFile& file) {
    if (file.format == nullptr) return std::nullopt;
    int rc = av_write_trailer(file.format);
    OptionalError error;
    if (rc < 0) error = ffmpegError(rc, "Cannot finish " + file.path);
    rc = avio_closep(&file.format->pb);
    if (rc < 0 && !error) error = ffmpegError(rc, "Cannot close " + file.path);
    closeFile(file, false);
    return error;
  }

  static void closeFile(OutputFile& file, bool remove) {
    if (file.format == nullptr) return;
    if (file.format->pb != nullptr) avio_closep(&file.format->pb);
    avformat_free_context(file.format);
    file.format = nullptr;
    if (remove) ::unlink(file.path.c_str());
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
      if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return pump(false);
      if (rc < 0) return ffmpegError(rc, "AAC encoder");
      if (packet_->duration <= 0) packet_->duration = frameSize_;
      held_.emplace_back(av_packet_alloc());
      av_packet_move_ref(held_.back().get(), packet_);
    }
  }

  // Hands held packets to the files: all of them with everything, else what is older than
  // the holdback, and at once what lies before a pending cut.
  OptionalError pump(bool everything) {
    while (!held_.empty() && (everything || held_.size() > kHoldbackPackets ||
                              (cutPending_ && held_.front()->pts < cutAt_))) {
      PacketPtr packet = std::move(held_.front());
      held_.pop_front();
      if (auto error = writeOut(std::move(packet))) return error;
    }
    return std::nullopt;
  }

  OptionalError writeOut(PacketPtr packet) {
    const int64_t start = packet->pts;
    const int64_t end = start + packet->duration;
    if (cutPending_ && start < cutAt_ && end > cutAt_) {
      // The packet spans the cut: its start ends this file, all of it begins the next.
      if (auto error = writeTo(current_, *packet, cutAt_ - start)) return error;
      if (auto error = switchFile()) return error;
      if (auto error = writeTo(current_, *packet, packet->duration)) return error;
      remember(std::move(packet));
      return std::nullopt;
    }
    if (auto error = writeTo(current_, *packet, packet->duration)) return error;
    remember(std::move(packet));
    if (cutPending_ && end == cutAt_) return switchFile();
    return std::nullopt;
  }

  void remember(PacketPtr packet) {
    writtenEnd_ = packet->pts + packet->duration;
    recent_.push_back(std::move(packet));
    while (recent_.size() > static_cast<size_t>(kPrerollPackets)) recent_.pop_front();
  }

  OptionalError writeTo(OutputFile& file, const AVPacket& packet, int64_t duration) {
    int rc = av_packet_ref(scratch_, &packet);
    if (rc < 0) return ffmpegError(rc, "Cannot write " + file.path);
    scratch_->pts = scratch_->dts = packet.pts - file.firstSample;
    scratch_->duration = duration;
    scratch_->stream_index = file.stream->index;
    rc = av_write_frame(file.format, scratch_);
    av_packet_unref(scratch_);
    if (rc < 0) return ffmpegError(rc, "Cannot write " + file.path);
    return std::nullopt;
  }

  // Completes the current file and makes the cut's file current, starting with the packets
  // before the cut that let its first sample decode exactly.
  OptionalError switchFile() {
    OptionalError error = finishFile(current_);
    current_ = std::exchange(next_, OutputFile{});
    cutPending_ = false;
    if (error) return error;
    for (const PacketPtr& packet : recent_) {
      if (auto written = writeTo(current_, *packet, packet->duration)) return written;
    }
    return std::nullopt;
  }

  AacWriterSettings settings_;
  std::string runId_;
  State state_ = State::created;
  AVCodecContext* encoder_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
  AVPacket* scratch_ = nullptr;
  int frameSize_ = 1024;
  int fill_ = 0;
  int64_t nextPts_ = 0;
  int64_t framesWritten_ = 0;
  OutputFile current_;
  OutputFile next_;
  bool cutPending_ = false;
  int64_t cutAt_ = 0;
  int64_t writtenEnd_ = 0;        // run sample where the last written packet ends
  std::deque<PacketPtr> held_;    // encoded, not yet in a file
  std::deque<PacketPtr> recent_;  // the last packets written, for the next file's pre-roll
  OptionalError failure_;
};

}  // namespace

std::string makeRunId() {
  std::random_device device;
  std::uniform_int_distribution<uint32_t> word;
  char text[33];
  for (int i = 0; i < 4; ++i) std::snprintf(text + 8 * i, 9, "%08x", word(device));
  return std::string(text, 32);
}

Result<std::unique_ptr<SegmentedAacWriter>> SegmentedAacWriter::create(
    const std::string& path, const AacWriterSettings& settings, std::string runId) {
  if (settings.sampleRate <= 0 || settings.channels < 1 || settings.channels > 8 ||
      settings.bitRate <= 0) {
    return Error{"FFmpeg", AVERROR(EINVAL), "Unsupported audio settings for " + path};
  }
  static std::once_flag quiet;
  std::call_once(quiet, [] {
    if (av_log_get_level() > AV_LOG_ERROR) av_log_set_level(AV_LOG_ERROR);
  });
  auto writer = std::make_unique<FfmpegSegmentedAacWriter>(settings, std::move(runId));
  if (auto error = writer->open(path)) {
    writer->cancel();
    return *error;
  }
  return std::unique_ptr<SegmentedAacWriter>(std::move(writer));
}

}  // namespace lumewell::media
