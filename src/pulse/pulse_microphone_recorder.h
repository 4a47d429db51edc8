#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "pulse/pulse_capture_stream.h"
#include "pulse/recording_file_sink.h"
#include "recorder/audio_services.h"
#include "runtime/error.h"

namespace lumewell::pulse {

// The microphone recorder: a record stream on the default source at the settings' rate and
// channel count, encoded on the capture worker into one AAC .m4a file.
// Called from one thread (the main thread); the capture runs on its own threads.
class PulseMicrophoneRecorder final : public recorder::MicrophoneRecorder {
 public:
  // Creates the file (replacing an existing one) and the encoder; nothing is captured yet.
  static Result<std::unique_ptr<PulseMicrophoneRecorder>> create(
      const std::string& path, const recorder::RecorderSettings& settings,
      const std::string& device = {});
  ~PulseMicrophoneRecorder() override;

  // Opens the capture (bounded wait); false when it does not come up.
  bool record() override;
  // Ends the capture after taking what the server already delivered, then completes the
  // file. Also leaves a complete file when the server went away meanwhile.
  void stop() override;
  double currentTime() const override;
  void updateMeters() override;
  float averagePowerForChannel(int channel) const override;
  // The file's write error, else the capture's end (server gone, no source left).
  OptionalError failure() const override;

  // A recorder for the next file that takes over this one's running capture at a block
  // boundary: no sample is lost or repeated between the two files. Afterwards this
  // recorder's stop() only completes its own file. Fails when this one does not record, or
  // when the server ended its capture.
  Result<std::unique_ptr<recorder::MicrophoneRecorder>> continueInto(
      const std::string& path) override;

  // Why record() failed, or what stop() met (file error); none when all went well.
  OptionalError lastError() const { return lastError_; }
  // Whether the server ended the capture by itself (server gone).
  bool captureLost() const;
  const std::string& path() const { return path_; }

 private:
  PulseMicrophoneRecorder(std::string path, const recorder::RecorderSettings& settings,
                          std::string device, std::shared_ptr<RecordingFileSink> sink);

  std::string path_;
  recorder::RecorderSettings settings_;
  std::string device_;
  std::shared_ptr<RecordingFileSink> sink_;
  std::unique_ptr<PulseCaptureStream> capture_;
  MeterReading reading_;
  bool stopped_ = false;
  bool captureWasLost_ = false;
  OptionalError lastError_;
};

}  // namespace lumewell::pulse
