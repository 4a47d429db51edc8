#pragma once

#include <memory>

#include "recorder/audio_services.h"

namespace lumewell::pulse {

// The recorder's platform services on Linux: the sound server for the microphone, FFmpeg for
// files, OpenSSL for hashes, the XDG data home for storage.
class PulseAudioServices final : public recorder::AudioServices {
 public:
  Result<std::unique_ptr<recorder::MicrophoneRecorder>> makeRecorder(
      const std::string& path, const recorder::RecorderSettings& settings) override;
  int microphoneAuthorizationStatus() override;
  // Answers from a worker thread within a couple of seconds, also from a stuck server.
  void queryMicrophoneAuthorizationStatus(std::function<void(int status)> completion) override;
  // Answers from a worker thread, never from the caller's.
  void requestMicrophoneAccess(std::function<void(bool granted)> completion) override;
  std::optional<int64_t> mediaDurationMs(const std::string& path) override;
  Result<std::string> sha256Hex(const std::string& path) override;
  void composeAudio(std::vector<std::string> paths, std::string output,
                    std::function<void(OptionalError)> completion) override;
  Result<recorder::RecoveredSegmentFile> finalizeInterruptedSegment(
      const std::string& partPath) override;
  std::optional<int64_t> freeDiskBytes() override;
  std::string dataDirectory() override;
};

// Compositions run a few at a time; the others wait in a queue. At shutdown the queued ones
// end as cancelled and none is taken any more; the running ones are media's to cancel.
void cancelQueuedCompositions();

}  // namespace lumewell::pulse
