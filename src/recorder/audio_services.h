#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "runtime/error.h"
#include "runtime/scheduler.h"

namespace lumewell::recorder {

// Settings of the microphone recorder of one segment.
struct RecorderSettings {
  int sampleRate = 48000;
  int channels = 1;
  int bitRate = 128000;
  // Frames a rotated segment holds: a rotation cuts the encoded stream there. 0: where the
  // capture is at the rotation.
  int64_t segmentFrames = 0;
  // record() answers only once the first audio arrived (bounded), so what the caller times
  // from its answer is recorded.
  bool awaitFirstAudio = false;
  // The recording also takes an application's audio, mixed in as it arrives through the
  // recorder's appAudioFeed() (stereo only).
  bool mixAppAudio = false;
};

// Where an application's capture hands its audio (48 kHz, interleaved stereo floats) to be
// mixed into the running recording as it arrives. Any thread.
class AppAudioFeed {
 public:
  virtual ~AppAudioFeed() = default;
  virtual void push(const float* stereo, size_t frames) = 0;
  // A new capture begins: whatever an earlier one left waiting is dropped.
  virtual void restart() = 0;
};

// Microphone authorization as the recorder sees it: 0 not determined, 1 restricted,
// 2 denied, 3 authorized; any other value is an unknown state.
inline constexpr int kMicNotDetermined = 0;
inline constexpr int kMicRestricted = 1;
inline constexpr int kMicDenied = 2;
inline constexpr int kMicAuthorized = 3;

// Records the default microphone into one .m4a file.
class MicrophoneRecorder {
 public:
  virtual ~MicrophoneRecorder() = default;
  // Starts recording; false when the capture does not come up.
  virtual bool record() = 0;
  // Stops synchronously; the file is complete and playable when it returns.
  virtual void stop() = 0;
  // Seconds recorded so far.
  virtual double currentTime() const = 0;
  // Takes a new meter reading over the audio since the last one.
  virtual void updateMeters() = 0;
  // The last reading's average power in dBFS (-160 floor).
  virtual float averagePowerForChannel(int channel) const = 0;
  // Why the recording cannot go on by itself, once it cannot: the capture ended (the sound
  // server went away, no capture source is left) or the file could not be written. None
  // while all is well. Polled on the main thread while the segment records.
  [[nodiscard]] virtual OptionalError failure() const { return std::nullopt; }
  // A recorder for the next file that takes over this one's running capture, so that no
  // audio falls between the two files; it is recording when returned. Afterwards stop()
  // only completes this recorder's own file. Recorders that cannot hand over say so here,
  // and a rotation then stops this one and starts a new one.
  virtual Result<std::unique_ptr<MicrophoneRecorder>> continueInto(const std::string& path) {
    (void)path;
    // Never reaches the Dart side: the rotation falls back to stop-then-record.
    return Error{"posix", ENOTSUP, "The microphone recorder cannot hand over its capture."};
  }
  // Where an application's audio goes to be mixed into this run (the recorders of one run
  // share it); none unless the settings asked for mixAppAudio.
  virtual std::shared_ptr<AppAudioFeed> appAudioFeed() { return nullptr; }
};

// A segment file made from what a crash left of its recording.
struct RecoveredSegmentFile {
  std::string path;
  int channels = 1;
  int sampleRate = 48000;
};

// The platform's audio and file services the recorder leans on.
class AudioServices {
 public:
  virtual ~AudioServices() = default;

  virtual Result<std::unique_ptr<MicrophoneRecorder>> makeRecorder(
      const std::string& path, const RecorderSettings& settings) = 0;

  virtual int microphoneAuthorizationStatus() = 0;
  // The same status without holding up the caller: the completion comes once, on any thread
  // (here: on the caller's), within a bounded time also when the sound server is stuck.
  virtual void queryMicrophoneAuthorizationStatus(std::function<void(int status)> completion) {
    completion(microphoneAuthorizationStatus());
  }
  // Asks for microphone access; the answer may come on any thread.
  virtual void requestMicrophoneAccess(std::function<void(bool granted)> completion) = 0;

  virtual std::optional<int64_t> mediaDurationMs(const std::string& path) = 0;
  virtual Result<std::string> sha256Hex(const std::string& path) = 0;

  // Joins the inputs one after another into output. The completion comes once, from any
  // thread.
  virtual void composeAudio(std::vector<std::string> paths, std::string output,
                            std::function<void(OptionalError)> completion) = 0;

  // Makes a segment that a crash interrupted (the part file at partPath) into its sealed
  // file, as its seal would have; never replaces a file, and the part stays on any failure.
  // Any thread.
  virtual Result<RecoveredSegmentFile> finalizeInterruptedSegment(const std::string& partPath) {
    return Error{"posix", ENOTSUP, "Cannot recover " + partPath + " here."};
  }
  // Free bytes available to the user on the volume of the data folder; none when unknown.
  virtual std::optional<int64_t> freeDiskBytes() = 0;
  // <data home>/app.lumewell.Recorder (the recordings live below it).
  virtual std::string dataDirectory() = 0;
};

// ---- Application audio (the microphone-plus-application mode) ----

struct AppAudioSource {
  std::string id;  // the process id in decimal
  std::string name;
  std::string bundleId;
  int64_t processId = 0;
};

// The catalogue record as it crosses the channel: exactly "id" and "displayName", in order.
inline std::vector<std::pair<std::string, std::string>> appAudioSourceFields(
    const AppAudioSource& source) {
  return {{"id", source.id}, {"displayName", source.name}};
}

// What a source id resolves to: the application and the output device it plays on.
struct AppAudioTarget {
  int64_t processId = 0;
  std::string applicationName;
  std::string bundleIdentifier;
  uint32_t displayId = 0;
  std::string displayName;
};

// Captures one application's audio into a feed, from start until stop, cancel or the
// application's loss.
class AppAudioCaptureSession {
 public:
  virtual ~AppAudioCaptureSession() = default;
  // Completion on the main thread.
  virtual void start(std::function<void(OptionalError)> completion) = 0;
  // Stops after handing on what was captured; completion on the main thread.
  virtual void stop(std::function<void(OptionalError)> completion) = 0;
  // Tears down at once; calls nothing.
  virtual void cancel() = 0;
};

class AppAudioServices {
 public:
  virtual ~AppAudioServices() = default;
  // The catalogue as channel-ready records; an empty list on any failure. Any thread.
  virtual void listSources(std::function<void(std::vector<AppAudioSource>)> completion) = 0;
  // ok, or the reason message. Any thread.
  virtual void validateSource(const std::string& sourceId,
                              std::function<void(bool ok, std::optional<std::string>)> done) = 0;
  // Any thread.
  virtual void resolveCaptureTarget(const std::string& sourceId,
                                    std::function<void(Result<AppAudioTarget>)> completion) = 0;
  virtual std::string appAudioErrorMessage(const Error& error) = 0;
  // The session hands what it captures to feed as it arrives.
  virtual std::unique_ptr<AppAudioCaptureSession> makeCaptureSession(
      const AppAudioTarget& target, std::shared_ptr<AppAudioFeed> feed,
      std::function<void(std::string reason)> onUnexpectedStop) = 0;
};

}  // namespace lumewell::recorder
