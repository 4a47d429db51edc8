#include "recorder/segment_sealer.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "recorder/recorder_files.h"
#include "runtime/files.h"
#include "runtime/iso8601.h"

namespace lumewell::recorder {
namespace {

namespace fs = std::filesystem;

void logLine(const std::string& text) {
  const std::string line = "Lumewell Recorder " + text + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);  // one write: lines never interleave
  std::fflush(stdout);
}

// What a sealed segment is reported with, measured from its file (any thread): a file that
// does not play is an error (EIO), never a segment of a made-up length.
struct SegmentMeasure {
  int64_t byteLength = 0;
  std::string sha256;
  int64_t durationMs = 0;
};

Result<SegmentMeasure> measureSegment(AudioServices& audio, const std::string& path) {
  std::error_code ec;
  const auto byteLength = fs::file_size(path, ec);
  if (ec) {
    return Error{"posix", ec.value(),
                 "Cannot read the attributes of " + path + ": " + ec.message()};
  }
  auto sha256 = audio.sha256Hex(path);
  if (!sha256) return sha256.error();
  const std::optional<int64_t> durationMs = audio.mediaDurationMs(path);
  if (!durationMs) return Error{"posix", EIO, "The file " + path + " does not play."};
  return SegmentMeasure{static_cast<int64_t>(byteLength), *sha256, *durationMs};
}

// A segment file made from what a crash left of a recording, measured as a seal measures.
struct RecoveredSegment {
  std::string recordingId;
  int64_t index = 0;
  RecoveredSegmentFile file;
  SegmentMeasure measured;
  TimePoint lastWritten;  // when the interrupted recording last wrote to it
};

// What "segment_sealed" and "segment_recovered" say of a segment's file, after the keys of
// `event`.
ValueMap segmentEvent(ValueMap event, int64_t index, const std::string& path,
                      const SegmentMeasure& measured, int sampleRate, int channels,
                      TimePoint sealedAt, TimePoint startedAt) {
  const ValueMap file{{"index", Value::integer(index)},
                      {"path", path},
                      {"durationMs", Value::integer(measured.durationMs)},
                      {"byteLength", Value::integer(measured.byteLength)},
                      {"sha256", measured.sha256},
                      {"codec", "aac-lc"},
                      {"sampleRate", Value::integer(sampleRate)},
                      {"channelCount", Value::integer(channels)},
                      {"sealedAt", iso8601Millis(sealedAt)},
                      {"startedAt", iso8601Millis(startedAt)}};
  for (const auto& [key, value] : file) event.append(key, value);
  return event;
}

ValueMap recoveredEvent(const RecoveredSegment& segment, TimePoint now) {
  const auto length = std::chrono::milliseconds(segment.measured.durationMs);
  return segmentEvent(
      {{"type", "segment_recovered"}, {"recordingId", segment.recordingId}}, segment.index,
      segment.file.path, segment.measured, segment.file.sampleRate, segment.file.channels, now,
      segment.lastWritten - std::chrono::duration_cast<TimePoint::duration>(length));
}

// Makes every interrupted segment of one recording folder below `recordings` into its sealed
// file (logged; failures leave the part and are logged too). Any thread.
std::vector<RecoveredSegment> recoverFolder(AudioServices& audio, const std::string& recordings,
                                            const std::string& recordingId) {
  std::vector<RecoveredSegment> recovered;
  const std::string folder = joinPath(recordings, recordingId);
  std::error_code ec;
  std::vector<std::pair<int64_t, std::string>> parts;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (auto index = partSegmentIndex(name)) parts.emplace_back(*index, it->path().string());
  }
  std::sort(parts.begin(), parts.end());
  for (const auto& [index, part] : parts) {
    struct stat st {};
    if (::lstat(part.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    // A part whose sealed file exists was left by a seal cut short after its rename: the
    // sealed file is the segment, and nothing replaces it.
    const std::string sealed = joinPath(folder, sealedSegmentName(index));
    if (pathExists(sealed)) {
      logLine("left " + part + " as it is: " + sealed + " exists");
      continue;
    }
    auto file = audio.finalizeInterruptedSegment(part);
    if (!file) {
      logLine("could not recover " + part + ": " + file.error().localizedDescription);
      continue;
    }
    auto measured = measureSegment(audio, file->path);
    if (!measured) {
      logLine("recovered " + file->path + " but cannot measure it");
      continue;
    }
    // The part was last written when the host stopped; it began its length before.
    const TimePoint lastWritten(std::chrono::duration_cast<TimePoint::duration>(
        std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
    logLine("recovered the interrupted segment " + file->path + " (" +
            std::to_string(measured->durationMs) + " ms)");
    recovered.push_back({recordingId, index, *file, *measured, lastWritten});
  }
  return recovered;
}

}  // namespace

SegmentSealer::SegmentSealer(Scheduler& scheduler, std::shared_ptr<AudioServices> audio,
                             Report sealed, Report recovered)
    : scheduler_(scheduler),
      audio_(std::move(audio)),
      sealed_(std::move(sealed)),
      recovered_(std::move(recovered)) {}

SegmentSealer::~SegmentSealer() {
  // The launch's recovery finishes the file it is on (each is written whole or not at all).
  if (worker_.joinable()) worker_.join();
}

OptionalError SegmentSealer::seal(int64_t index, const std::string& path, int channels,
                                  TimePoint startedAt) {
  // What "segment_sealed" reports must survive a power cut: the file's data and its name
  // in the folder are on the disk before the event goes out.
  if (auto error = syncFileAndFolder(path)) return error;
  // A file that does not play stays on disk, unreported.
  const Result<SegmentMeasure> measured = measureSegment(*audio_, path);
  if (!measured) return measured.error();
  sealed_(segmentEvent({{"type", "segment_sealed"}}, index, path, *measured, 48000, channels,
                       scheduler_.now(), startedAt));
  return std::nullopt;
}

void SegmentSealer::recover(const std::string& recordingId) {
  const std::string data = audio_->dataDirectory();
  if (data.empty()) return;
  for (const auto& segment : recoverFolder(*audio_, joinPath(data, "recordings"), recordingId)) {
    recovered_(recoveredEvent(segment, scheduler_.now()));
  }
}

void SegmentSealer::recoverAllInBackground() {
  const std::string data = audio_->dataDirectory();
  if (data.empty()) return;
  const std::string recordings = joinPath(data, "recordings");
  // Looked for here, quickly; a worker only starts when there is something to recover.
  std::vector<std::string> ids;
  std::error_code ec;
  for (fs::directory_iterator it(recordings, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code inner;
    if (!it->is_directory(inner)) continue;
    for (fs::directory_iterator part(it->path(), inner), none; !inner && part != none;
         part.increment(inner)) {
      if (partSegmentIndex(part->path().filename().string())) {
        ids.push_back(it->path().filename().string());
        break;
      }
    }
  }
  if (ids.empty() || worker_.joinable()) return;  // once per launch
  worker_ = std::thread([main = MainThreadRef<SegmentSealer>(scheduler_, weak_from_this()),
                         audio = audio_, recordings, ids = std::move(ids)] {
    std::vector<RecoveredSegment> recovered;
    for (const std::string& id : ids) {
      for (auto& segment : recoverFolder(*audio, recordings, id)) {
        recovered.push_back(std::move(segment));
      }
    }
    main.post([recovered = std::move(recovered)](SegmentSealer& sealer) {
      for (const auto& segment : recovered) {
        sealer.recovered_(recoveredEvent(segment, sealer.scheduler_.now()));
      }
    });
  });
}

}  // namespace lumewell::recorder
