#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "recorder/recorder_files.h"
#include "recorder/recorder_plugin.h"
#include "runtime/iso8601.h"

namespace lumewell::recorder {

namespace {

void logLine(const std::string& text) {
  const std::string line = "Lumewell Recorder " + text + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);  // one write: lines never interleave
  std::fflush(stdout);
}

}  // namespace

std::vector<RecoveredSegment> recoverFolder(AudioServices& audio, const std::string& recordings,
                                            const std::string& recordingId) {
  namespace fs = std::filesystem;
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
    RecoveredSegment segment;
    segment.recordingId = recordingId;
    segment.index = index;
    segment.file = *file;
    auto measured = measureSegment(audio, file->path);
    if (!measured) {
      logLine("recovered " + file->path + " but cannot measure it");
      continue;
    }
    segment.durationMs = measured->durationMs;
    segment.byteLength = measured->byteLength;
    segment.sha256 = measured->sha256;
    // The part was last written when the host stopped; it began its length before.
    segment.lastWritten = TimePoint(std::chrono::duration_cast<TimePoint::duration>(
        std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
    logLine("recovered the interrupted segment " + file->path + " (" +
            std::to_string(segment.durationMs) + " ms)");
    recovered.push_back(std::move(segment));
  }
  return recovered;
}

void LumewellNativeRecorderPlugin::recoverInterruptedSegmentsInBackground() {
  namespace fs = std::filesystem;
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
  if (ids.empty()) return;
  if (recoveryWorker_.joinable()) return;  // once per launch
  recoveryWorker_ =
      std::thread([main = mainRef(), audio = audio_, recordings, ids = std::move(ids)] {
        std::vector<RecoveredSegment> recovered;
        for (const std::string& id : ids) {
          for (auto& segment : recoverFolder(*audio, recordings, id)) {
            recovered.push_back(std::move(segment));
          }
        }
        main.post([recovered = std::move(recovered)](LumewellNativeRecorderPlugin& plugin) {
          plugin.reportRecovered(recovered);
        });
      });
}

void LumewellNativeRecorderPlugin::recoverInterruptedSegments(const std::string& recordingId) {
  const std::string data = audio_->dataDirectory();
  if (data.empty()) return;
  reportRecovered(recoverFolder(*audio_, joinPath(data, "recordings"), recordingId));
}

void LumewellNativeRecorderPlugin::reportRecovered(const std::vector<RecoveredSegment>& segments) {
  for (const RecoveredSegment& segment : segments) {
    const Duration length = std::chrono::milliseconds(segment.durationMs);
    ValueMap event{
        {"type", "segment_recovered"},
        {"recordingId", segment.recordingId},
        {"index", Value::integer(segment.index)},
        {"path", segment.file.path},
        {"durationMs", Value::integer(segment.durationMs)},
        {"byteLength", Value::integer(segment.byteLength)},
        {"sha256", segment.sha256},
        {"codec", "aac-lc"},
        {"sampleRate", Value::integer(segment.file.sampleRate)},
        {"channelCount", Value::integer(segment.file.channels)},
        {"sealedAt", iso8601Millis(scheduler_.now())},
        {"startedAt", iso8601Millis(segment.lastWritten -
                                    std::chrono::duration_cast<TimePoint::duration>(length))}};
    // Nobody listening yet: the first listener gets it.
    if (eventSink_ && *eventSink_) {
      sendEvent(std::move(event));
    } else {
      heldRecoveredEvents_.push_back(std::move(event));
    }
  }
}

}  // namespace lumewell::recorder
