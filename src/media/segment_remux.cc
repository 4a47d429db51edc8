#include "media/segment_remux.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <unistd.h>

#include <cstring>
#include <memory>
#include <optional>

#include "media/ffmpeg_error.h"
#include "media/local_media_path.h"
#include "media/segment_files.h"
#include "media/segmented_aac_writer.h"

namespace lumewell::media {

namespace {

struct InputCloser {
  void operator()(AVFormatContext* format) const { avformat_close_input(&format); }
};
using InputPtr = std::unique_ptr<AVFormatContext, InputCloser>;

// A run's file as the joiner needs it: its audio stream, run id and first run sample.
struct RunFile {
  InputPtr format;
  AVStream* stream = nullptr;
  std::string runId;
  int64_t firstSample = -1;
};

// Opens path as one of our run files; none when it is not one (no error: it is re-encoded).
std::optional<RunFile> openRunFile(const std::string& path) {
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return std::nullopt;
  RunFile file;
  file.format.reset(raw);
  if (file.format->nb_streams != 1) return std::nullopt;
  file.stream = file.format->streams[0];
  const AVCodecParameters* par = file.stream->codecpar;
  if (par->codec_type != AVMEDIA_TYPE_AUDIO || par->codec_id != AV_CODEC_ID_AAC ||
      par->sample_rate <= 0 || file.stream->time_base.num != 1 ||
      file.stream->time_base.den != par->sample_rate || file.stream->duration <= 0) {
    return std::nullopt;
  }
  const AVDictionaryEntry* run = av_dict_get(file.format->metadata, kRunIdTag, nullptr, 0);
  const AVDictionaryEntry* first = av_dict_get(file.format->metadata, kFirstSampleTag, nullptr, 0);
  const std::optional<int64_t> firstSample = first ? parseTagNumber(first->value) : std::nullopt;
  if (run == nullptr || *run->value == '\0' || !firstSample) return std::nullopt;
  file.firstSample = *firstSample;
  file.runId = run->value;
  return file;
}

bool sameSetup(const AVCodecParameters* a, const AVCodecParameters* b) {
  return a->sample_rate == b->sample_rate && a->ch_layout.nb_channels == b->ch_layout.nb_channels &&
         a->profile == b->profile && a->extradata_size == b->extradata_size &&
         (a->extradata_size == 0 ||
          std::memcmp(a->extradata, b->extradata, a->extradata_size) == 0);
}

bool samePayload(const AVPacket& a, const AVPacket& b) {
  return a.size == b.size && (a.size == 0 || std::memcmp(a.data, b.data, a.size) == 0);
}

class Joiner {
 public:
  explicit Joiner(std::string output) : output_(std::move(output)) {}
  ~Joiner() {
    if (format_ != nullptr) {
      if (format_->pb != nullptr) avio_closep(&format_->pb);
      avformat_free_context(format_);
      ::unlink(output_.c_str());
    }
  }

  OptionalError open(const RunFile& first) {
    int rc =
        avformat_alloc_output_context2(&format_, nullptr, "ipod", localFileUrl(output_).c_str());
    if (rc < 0 || format_ == nullptr) return ffmpegError(rc, "Cannot set up " + output_);
    rc = restrictToFiles(format_);
    if (rc < 0) return ffmpegError(rc, "Cannot set up " + output_);
    stream_ = avformat_new_stream(format_, nullptr);
    if (stream_ == nullptr) return ffmpegError(AVERROR(ENOMEM), "Cannot add the audio track");
    rc = avcodec_parameters_copy(stream_->codecpar, first.stream->codecpar);
    if (rc < 0) return ffmpegError(rc, "Cannot add the audio track");
    stream_->codecpar->codec_tag = 0;
    if (stream_->codecpar->frame_size <= 0) stream_->codecpar->frame_size = 1024;
    stream_->time_base = first.stream->time_base;
    origin_ = first.firstSample;
    frameSize_ = first.stream->codecpar->frame_size > 0 ? first.stream->codecpar->frame_size : 1024;
    // Private like every recording, whatever the umask, and written through the file
    // protocol only.
    bool created = false;
    if (OptionalError error = createPrivateFile(output_, &created)) return error;
    rc = openMediaOutput(&format_->pb, output_);
    if (rc < 0) return ffmpegError(rc, "Cannot open " + output_);
    AVDictionary* options = nullptr;
    av_dict_set(&options, "movflags", "+faststart", 0);
    av_dict_set_int(&options, "movie_timescale", first.stream->codecpar->sample_rate, 0);
    rc = avformat_write_header(format_, &options);
    av_dict_free(&options);
    if (rc < 0) return ffmpegError(rc, "Cannot write the header of " + output_);
    packet_.reset(av_packet_alloc());
    if (!packet_) return ffmpegError(AVERROR(ENOMEM), output_);
    return std::nullopt;
  }

  // Takes file's packets on from where the previous file's ended. False when they do not
  // continue the run; an error when the output cannot be written.
  Result<bool> append(RunFile& file) {
    bool joined = !previous_;  // a later file must repeat the packet the previous one ended with
    for (;;) {
      int rc = av_read_frame(file.format.get(), packet_.get());
      if (rc == AVERROR_EOF) break;
      if (rc < 0) return false;
      PacketPtr packet(av_packet_alloc());
      if (!packet) return Error{ffmpegError(AVERROR(ENOMEM), output_)};
      av_packet_move_ref(packet.get(), packet_.get());
      if (packet->stream_index != file.stream->index || packet->pts == AV_NOPTS_VALUE) continue;
      const int64_t runPts = packet->pts + file.firstSample;
      if (previous_ && runPts <= previousPts_) {
        // Pre-roll, and the packet that spans the cut: already in the output.
        if (runPts == previousPts_) {
          if (!samePayload(*packet, *previous_)) return false;
          joined = true;
        }
        continue;
      }
      if (previous_ && (!joined || runPts != previousPts_ + frameSize_)) return false;
      if (previous_) {
        if (auto error = writePrevious(frameSize_)) return *error;
      }
      previous_ = std::move(packet);
      previousPts_ = runPts;
    }
    return joined;
  }

  OptionalError finish() {
    if (previous_) {
      if (auto error = writePrevious(previous_->duration)) return error;
    }
    int rc = av_write_trailer(format_);
    if (rc < 0) return ffmpegError(rc, "Cannot finish " + output_);
    rc = avio_closep(&format_->pb);
    if (rc < 0) return ffmpegError(rc, "Cannot close " + output_);  // removed with the joiner
    avformat_free_context(format_);
    format_ = nullptr;
    return std::nullopt;
  }

 private:
  OptionalError writePrevious(int64_t duration) {
    AVPacket* packet = previous_.get();
    av_packet_free_side_data(packet);
    packet->flags &= ~AV_PKT_FLAG_DISCARD;
    packet->pts = packet->dts = previousPts_ - origin_;
    packet->duration = duration;
    packet->stream_index = stream_->index;
    packet->pos = -1;
    const int rc = av_write_frame(format_, packet);
    previous_.reset();
    if (rc < 0) return ffmpegError(rc, "Cannot write " + output_);
    return std::nullopt;
  }

  std::string output_;
  AVFormatContext* format_ = nullptr;
  AVStream* stream_ = nullptr;
  PacketPtr packet_;
  PacketPtr previous_;  // the last packet taken, written once its successor shows its length
  int64_t previousPts_ = 0;
  int64_t origin_ = 0;
  int frameSize_ = 1024;
};

}  // namespace

Result<bool> remuxRun(const std::vector<std::string>& paths, const std::string& output,
                      const std::function<bool()>& cancelled) {
  if (paths.empty()) return false;
  // The libraries' informational chatter (the front-index pass) is not ours to print.
  if (av_log_get_level() > AV_LOG_ERROR) av_log_set_level(AV_LOG_ERROR);
  std::optional<RunFile> first = openRunFile(paths.front());
  if (!first) return false;
  const std::string runId = first->runId;
  AVCodecParameters* setup = avcodec_parameters_alloc();
  if (setup == nullptr) return Error{ffmpegError(AVERROR(ENOMEM), output)};
  std::unique_ptr<AVCodecParameters, void (*)(AVCodecParameters*)> setupOwner(
      setup, [](AVCodecParameters* p) { avcodec_parameters_free(&p); });
  avcodec_parameters_copy(setup, first->stream->codecpar);

  Joiner joiner(output);
  if (auto error = joiner.open(*first)) return *error;
  int64_t expectedFirst = first->firstSample;
  std::optional<RunFile> file = std::move(first);
  for (size_t i = 0;;) {
    if (cancelled && cancelled()) return false;
    if (!file || file->runId != runId || file->firstSample != expectedFirst ||
        !sameSetup(setup, file->stream->codecpar)) {
      return false;
    }
    Result<bool> appended = joiner.append(*file);
    if (!appended) return appended.error();
    if (!*appended) return false;
    expectedFirst += file->stream->duration;
    if (++i == paths.size()) break;
    file = openRunFile(paths[i]);
  }
  if (auto error = joiner.finish()) return *error;
  return true;
}

}  // namespace lumewell::media
