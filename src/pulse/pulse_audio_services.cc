#include "pulse/pulse_audio_services.h"

#include "media/media_probe.h"
#include "media/sha256.h"
#include "pulse/microphone_access.h"
#include "pulse/pulse_microphone_recorder.h"
#include "runtime/files.h"
#include "runtime/serial_executor.h"

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

void PulseAudioServices::requestMicrophoneAccess(std::function<void(bool granted)> completion) {
  // The server has no prompt: the request answers what the status says, off the caller's
  // thread because reaching the server may take a moment.
  static SerialExecutor* queue = new SerialExecutor("lumewell-micq");
  queue->post([completion = std::move(completion)] {
    completion(pulse::microphoneAuthorizationStatus() == recorder::kMicAuthorized);
  });
}

std::optional<int64_t> PulseAudioServices::mediaDurationMs(const std::string& path) {
  return media::mediaDurationMs(path);
}

Result<std::string> PulseAudioServices::sha256Hex(const std::string& path) {
  return media::sha256FileHex(path);
}

std::optional<int64_t> PulseAudioServices::freeDiskBytes() {
  return lumewell::freeDiskBytes(dataHome());
}

std::string PulseAudioServices::dataDirectory() { return dataHome(); }

}  // namespace lumewell::pulse
