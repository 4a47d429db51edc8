#include "pulse/pulse_audio_services.h"

#include <algorithm>

#include "media/media_probe.h"
#include "media/part_recovery.h"
#include "media/sha256.h"
#include "pulse/microphone_access.h"
#include "pulse/pulse_microphone_recorder.h"
#include "runtime/coalesced_query.h"
#include "runtime/files.h"

namespace lumewell::pulse {

Result<std::unique_ptr<recorder::MicrophoneRecorder>> PulseAudioServices::makeRecorder(
    const std::string& path, const recorder::RecorderSettings& settings) {
  auto recorder = PulseMicrophoneRecorder::create(path, settings);
  if (!recorder) return recorder.error();
  return std::unique_ptr<recorder::MicrophoneRecorder>(std::move(recorder).value());
}

int PulseAudioServices::microphoneAuthorizationStatus() {
  return pulse::microphoneAuthorizationStatus();
}

namespace {

// Status questions share one answer per round, asked off the caller's thread.
CoalescedQuery<int>& statusQueries() {
  static auto* queries = new CoalescedQuery<int>(
      "lumewell-micq", kStatusDeadline, [](std::chrono::steady_clock::time_point deadline) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        return pulse::microphoneAuthorizationStatus(std::max(left, std::chrono::milliseconds(1)));
      });
  return *queries;
}

}  // namespace

void PulseAudioServices::queryMicrophoneAuthorizationStatus(std::function<void(int)> completion) {
  statusQueries().ask(
      [completion = std::move(completion)](const int& status) { completion(status); });
}

void PulseAudioServices::requestMicrophoneAccess(std::function<void(bool granted)> completion) {
  // The server has no prompt: the request answers what the status says.
  queryMicrophoneAuthorizationStatus([completion = std::move(completion)](int status) {
    completion(status == recorder::kMicAuthorized);
  });
}

std::optional<int64_t> PulseAudioServices::mediaDurationMs(const std::string& path) {
  return media::mediaDurationMs(path);
}

Result<recorder::RecoveredSegmentFile> PulseAudioServices::finalizeInterruptedSegment(
    const std::string& partPath) {
  auto finalized = media::finalizePart(partPath);
  if (!finalized) return finalized.error();
  return recorder::RecoveredSegmentFile{finalized->path, finalized->channels,
                                        finalized->sampleRate};
}

Result<std::string> PulseAudioServices::sha256Hex(const std::string& path) {
  return media::sha256FileHex(path);
}

std::optional<int64_t> PulseAudioServices::freeDiskBytes() {
  return lumewell::freeDiskBytes(dataHome());
}

std::string PulseAudioServices::dataDirectory() { return dataHome(); }

}  // namespace lumewell::pulse
