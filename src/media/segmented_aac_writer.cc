#include "media/segmented_aac_writer.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <random>
#include <utility>
#include <vector>

#include "media/aac_encoder.h"
#include "media/ffmpeg_error.h"
#include "media/fragmented_part_file.h"
#include "media/segment_files.h"

namespace lumewell::media {

namespace {

// Encoded packets kept back from the current file, so a cut that comes a little late (the
// timer behind the sample clock) still lands where it was meant: about a third of a second.
constexpr size_t kHoldbackPackets = 16;

// One .m4a of the run; its timestamps count from the run sample firstSample. While it records
// it grows as a fragmented part file; once complete it is written as the regular file.
struct OutputFile {
  std::string path;  // the final name
  int64_t firstSample = 0;
  std::unique_ptr<FragmentedPartFile> part;
  std::vector<PacketPtr> packets;  // as the final file holds them
  int64_t leadSamples = 0;         // stored before firstSample (priming, pre-roll)
  int64_t unflushedSamples = 0;    // written since the part's last fragment
};

class FfmpegSegmentedAacWriter final : public SegmentedAacWriter {
 public:
  FfmpegSegmentedAacWriter(const AacWriterSettings& settings, std::string runId)
      : settings_(settings), runId_(std::move(runId)) {}

  ~FfmpegSegmentedAacWriter() override {
    if (state_ == State::open) finish();
    closeFile(current_, false);
    closeFile(next_, false);
    avcodec_parameters_free(&codec_);
  }

  OptionalError open(const std::string& path) {
    AacWriterSettings live = settings_;
    live.fastCoder = true;  // a recording's one encode runs as long as the meeting
    auto encoder = AacEncoder::open(live);
    if (!encoder) return encoder.error();
    encoder_ = std::move(encoder).value();
    codec_ = avcodec_parameters_alloc();
    if (codec_ == nullptr) return ffmpegError(AVERROR(ENOMEM), "AAC encoder");
    const int rc = avcodec_parameters_from_context(codec_, encoder_->context());
    if (rc < 0) return ffmpegError(rc, "AAC encoder");
    current_.path = path;
    if (auto error = openFile(current_)) return error;
    state_ = State::open;
    return std::nullopt;
  }

  OptionalError write(const float* interleaved, size_t frames) override {
    if (state_ != State::open) return closed();
    if (failure_) return failure_;
    if (auto error = encoder_->write(interleaved, frames, holder())) return fail(*error);
    return pump(false);
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
    if (!failure_) failure_ = encoder_->flush(holder());
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
    // The final name is taken only by the complete file, never over another one.
    if (::access(file.path.c_str(), F_OK) == 0) {
      return Error{"posix", EEXIST, "Cannot record into " + file.path + ": it exists."};
    }
    auto part = FragmentedPartFile::create(partPathFor(file.path));
    if (!part) return part.error();
    file.part = std::move(part).value();
    return std::nullopt;
  }

  std::vector<std::pair<std::string, std::string>> tagsOf(const OutputFile& file) const {
    if (runId_.empty()) return {};
    return {{kRunIdTag, runId_}, {kFirstSampleTag, std::to_string(file.firstSample)}};
  }

  // Writes the complete file under its final name and removes its part. Where that cannot be
  // done (a full disk), the part, cut back to its last fragment, becomes the file: it plays,
  // with the priming and pre-roll audible. The error is answered either way.
  OptionalError finishFile(OutputFile& file) {
    if (!file.part) return std::nullopt;
    const FinalSegment layout{codec_, settings_.sampleRate, tagsOf(file), settings_.fastStart};
    OptionalError error = writeFinalSegment(file.path, layout, file.packets);
    if (!error) {
      ::unlink(file.part->path().c_str());
    } else if (file.part->begun()) {
      // Each step is a best effort after the failure that is answered: whatever fits still
      // counts, and a part that could not take the final name stays for the recovery.
      (void)file.part->flushFragment();
      if (!file.part->truncateToLastFragment() && !renameNoReplace(file.part->path(), file.path)) {
        (void)syncFolderOf(file.path);
      }
    }
    file.part.reset();
    file.packets.clear();
    return error;
  }

  static void closeFile(OutputFile& file, bool remove) {
    if (!file.part) return;
    const std::string partPath = file.part->path();
    file.part.reset();
    file.packets.clear();
    if (remove) {
      ::unlink(partPath.c_str());
      ::unlink(stagingPathFor(file.path).c_str());
    }
  }

  // Encoded packets wait in held_ until pump() hands them to the files.
  AacEncoder::PacketSink holder() {
    return [this](AVPacket* packet) -> OptionalError {
      PacketPtr held(av_packet_alloc());
      if (!held) return ffmpegError(AVERROR(ENOMEM), "AAC encoder");
      av_packet_move_ref(held.get(), packet);
      held_.push_back(std::move(held));
      return std::nullopt;
    };
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
      if (auto error = switchFile()) return error;  // no cut pending any more
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
    PacketPtr copy = copyPacket(packet);
    if (!copy) return ffmpegError(AVERROR(ENOMEM), "Cannot write " + file.path);
    copy->pts = copy->dts = packet.pts - file.firstSample;
    copy->duration = duration;
    copy->stream_index = 0;
    if (!file.part->begun()) {
      // The part stores from its first packet on; the samples before the file's first one
      // are named in a tag, so a recovery can hide them again.
      file.leadSamples = std::max<int64_t>(0, -copy->pts);
      auto tags = tagsOf(file);
      tags.emplace_back(kLeadSamplesTag, std::to_string(file.leadSamples));
      if (auto error = file.part->begin(*codec_, settings_.sampleRate, tags)) return error;
    }
    if (auto error = file.part->write(*copy, copy->pts + file.leadSamples)) return error;
    file.packets.push_back(std::move(copy));
    // A fragment every half second: with the capture's block on its way and the encoder's
    // delay, a crash costs less than the last second.
    file.unflushedSamples += duration;
    if (file.unflushedSamples >= settings_.sampleRate / 2) {
      file.unflushedSamples = 0;
      if (auto error = file.part->flushFragment()) return error;
    }
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
  std::unique_ptr<AacEncoder> encoder_;
  AVCodecParameters* codec_ = nullptr;
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
  auto writer = std::make_unique<FfmpegSegmentedAacWriter>(settings, std::move(runId));
  if (auto error = writer->open(path)) {
    writer->cancel();
    return *error;
  }
  return std::unique_ptr<SegmentedAacWriter>(std::move(writer));
}

}  // namespace lumewell::media
