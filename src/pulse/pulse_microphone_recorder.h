#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "pulse/pulse_capture_stream.h"
#include "pulse/recording_file_sink.h"
#include "recorder/audio_services.h"
#include "runtime/error.h"

namespace lumewell::pulse {

// The microphone recorder: a record stream on the default source at the settings' rate and
// channel count, encoded on the capture worker. From record() to stop() one capture and one
// AAC encode run; continueInto() only cuts the encoded stream into the next file.
// Called from one thread (the main thread); the capture runs on its own threads.
class PulseMicrophoneRecorder final : public recorder::MicrophoneRecorder {
 public:
  // Creates the file (replacing an existing one) and the encoder; nothing is captured yet.
  static Result<std::unique_ptr<PulseMicrophoneRecorder>> create(
      const std::string& path, const recorder::RecorderSettings& settings,
      const std::string& device = {});
  ~PulseMicrophoneRecorder() override;

  // Opens the capture and, with the settings' awaitFirstAudio, waits (at most 2 s) until its
  // audio flows, so what the caller times from here is recorded; false when it does not
  // come up.
  bool record() override;
  // Ends the capture after taking what the server already delivered, then completes the
  // file. Also leaves a complete file when the server went away meanwhile. A recorder that
  // handed over only waits until its file is complete.
  void stop() override;
  double currentTime() const override;
  void updateMeters() override;
  float averagePowerForChannel(int channel) const override;
  // The file's write error, else the capture's end (server gone, no source left).
  OptionalError failure() const override;

  // The recorder of the next file of the same run: the encoded stream is cut at this file's
  // first frame plus the settings' segmentFrames (where the capture is when those are 0),
  // waiting briefly for the capture to get there. No sample is lost or repeated between the
  // files. Fails when this one does not record, or when the server ended its capture.
  Result<std::unique_ptr<recorder::MicrophoneRecorder>> continueInto(
      const std::string& path) override;
  // With the settings' mixAppAudio: the run's live mix of an application's audio.
  std::shared_ptr<recorder::AppAudioFeed> appAudioFeed() override { return run_->feed; }

  // Why record() failed, or what stop() met (file error); none when all went well. The
  // recorder does not need it: a file stop() could not finish fails its seal (probe and
  // read-back), which reports the failure to the Dart side.
  OptionalError lastError() const { return lastError_; }
  // Whether the server ended the capture by itself (server gone).
  bool captureLost() const;
  const std::string& path() const { return path_; }

 private:
  // What the recorders of one run share: the capture, the encoding sink and the feed of its
  // live mix.
  struct Run {
    std::shared_ptr<RecordingFileSink> sink;
    std::shared_ptr<recorder::AppAudioFeed> feed;
    std::unique_ptr<PulseCaptureStream> capture;
    bool captureWasLost = false;
  };

  PulseMicrophoneRecorder(std::string path, const recorder::RecorderSettings& settings,
                          std::string device, std::shared_ptr<Run> run, int64_t firstFrame);

  std::string path_;
  recorder::RecorderSettings settings_;
  std::string device_;
  std::shared_ptr<Run> run_;
  int64_t firstFrame_ = 0;
  std::optional<int64_t> endFrame_;  // set once handed over: where the cut is
  MeterReading reading_;
  bool stopped_ = false;
  OptionalError lastError_;
};

}  // namespace lumewell::pulse
