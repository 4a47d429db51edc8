#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "channels/binary_messenger.h"
#include "channels/event_channel.h"
#include "channels/method_channel.h"
#include "recorder/audio_services.h"
#include "recorder/preflight.h"
#include "recorder/recorder_errors.h"
#include "recorder/session_op_queue.h"
#include "runtime/scheduler.h"

namespace lumewell::recorder {

enum class RuntimeState { idle, recording, paused };
enum class CaptureMode { micOnly, micPlusAppAudio };

// A segment file made from what a crash left of a recording, measured as a seal measures.
struct RecoveredSegment {
  std::string recordingId;
  int64_t index = 0;
  RecoveredSegmentFile file;
  int64_t durationMs = 0;
  int64_t byteLength = 0;
  std::string sha256;
  TimePoint lastWritten;  // when the interrupted recording last wrote to it
};

// Makes every interrupted segment of one recording folder below `recordings` into its sealed
// file (logged; failures leave the part and are logged too). Any thread.
std::vector<RecoveredSegment> recoverFolder(AudioServices& audio, const std::string& recordings,
                                            const std::string& recordingId);

// The recorder plug-in: the "lumewell/native_recorder" method channel and its event channel,
// the recording session, segment rotation and sealing, metering and assembly; the preflight,
// storage and source questions go to its Preflight. Everything here runs on the main thread
// of the given scheduler; work that ends on other threads comes back through mainRef().
class LumewellNativeRecorderPlugin final
    : public StreamHandler,
      public std::enable_shared_from_this<LumewellNativeRecorderPlugin> {
 public:
  using Factory = std::function<std::shared_ptr<LumewellNativeRecorderPlugin>()>;
  using Completion = std::function<void(OptionalError)>;

  static constexpr const char* kMethodChannel = "lumewell/native_recorder";
  static constexpr const char* kEventChannel = "lumewell/native_recorder/events";

  // appAudio may be null: the application mode then finds no sources.
  LumewellNativeRecorderPlugin(Scheduler& scheduler, std::shared_ptr<AudioServices> audio,
                               std::shared_ptr<AppAudioServices> appAudio);
  ~LumewellNativeRecorderPlugin() override;
  LumewellNativeRecorderPlugin(const LumewellNativeRecorderPlugin&) = delete;
  LumewellNativeRecorderPlugin& operator=(const LumewellNativeRecorderPlugin&) = delete;

  // The process-wide instance, made by the configured factory on first use (thread-safe).
  // Null when no factory was configured.
  static std::shared_ptr<LumewellNativeRecorderPlugin> shared();
  // Sets the factory of the shared instance; false (and ignored) once the instance exists.
  static bool configureShared(Factory factory);

  // Opens the method channel (whose handler keeps this instance alive) and the event channel.
  void registerChannels(BinaryMessenger& messenger);
  void handleMethodCall(const MethodCall& call, MethodResultPtr result);

  std::optional<MethodError> onListen(const Value& arguments, EventSink sink) override;
  std::optional<MethodError> onCancel(const Value& arguments) override;

  // Tests and benchmarks shorten segments with this; the product keeps 30 s.
  void setSegmentDuration(double seconds) { segmentDuration_ = seconds; }
  RuntimeState runtimeState() const { return runtimeState_; }
  // Called on the main thread each time the session has returned to idle.
  void setIdleListener(std::function<void()> listener) { idleListener_ = std::move(listener); }
  int64_t nextSegmentIndex() const { return nextSegmentIndex_; }
  const std::optional<std::string>& recordingDirectory() const { return recordingDirectory_; }

  // While recording, free space below this ends the recording: what is recorded so far is
  // sealed while the segment's index still fits on the disk.
  static constexpr int64_t kLowDiskStopFloorBytes = 33554432;  // 32 MiB

 private:
  // What a segment being finished needs, taken from the session when it is finalized so that
  // the asynchronous steps after it never read fields that moved on.
  struct FinishingSegment {
    int64_t index = 0;
    CaptureMode mode = CaptureMode::micOnly;
    std::string path;
    TimePoint startedAt;
  };
  // The next segment's recorder, already recording: at a rotation the running capture (and
  // in the application mode its live mix) is handed over to it before the finished
  // segment's recorder stops, so no audio falls between the two files. Its segment counts
  // from the handover.
  struct HandedOverMicrophone {
    int64_t index = 0;
    std::string path;
    std::unique_ptr<MicrophoneRecorder> recorder;
    TimePoint startedAt;
    Duration monotonicStart{0};
  };
  struct StartRequest {
    std::string recordingId;
    CaptureMode mode = CaptureMode::micOnly;
    bool appMode = false;  // "captureMode" was kMicPlusAppAudio
    std::optional<std::string> sourceId;
    std::optional<std::string> sourceDisplayName;
  };

  // protocol
  void sendEvent(ValueMap event);
  void sendSourceLost(const std::string& reason);
  // What a completion that may run on another thread holds the plug-in by.
  MainThreadRef<LumewellNativeRecorderPlugin> mainRef() { return {scheduler_, weak_from_this()}; }

  // Segments a crash interrupted become sealed files: all of them off the main thread at
  // launch, and those of a recording's folder before it records there again. Each is
  // reported as "segment_recovered", held for the first listener when nobody listens.
  void recoverInterruptedSegmentsInBackground();
  void recoverInterruptedSegments(const std::string& recordingId);
  void reportRecovered(const std::vector<RecoveredSegment>& segments);

  // session
  void startRecording(const Value& arguments, MethodResultPtr result);
  void startWithMicrophoneStatus(int status, StartRequest request, MethodResultPtr result);
  void startRecordingOp(StartRequest request, MethodResultPtr result, std::function<void()> done);
  void beginSession(const StartRequest& request, MethodResultPtr result,
                    std::function<void()> done);
  void endSession(Completion completion);
  void pauseRecording(MethodResultPtr result);
  void resumeRecording(MethodResultPtr result);
  void stopRecording(MethodResultPtr result);
  Result<std::string> prepareRecordingDirectory(const std::string& recordingId);
  RecorderSettings recorderSettings() const;
  void startSegment(Completion completion);
  Result<std::unique_ptr<MicrophoneRecorder>> openMicrophone(const std::string& path);
  std::string segmentPathFor(int64_t index) const;
  void handOverMicrophone();
  // Stops a handed-over recorder that no segment will use and removes its file.
  void dropHandedOverMicrophone();
  void startAppCapture(Completion completion);
  void onCaptureTargetResolved(Result<AppAudioTarget> target, Completion completion);
  void onAppAudioCaptureStarted(OptionalError error, Completion completion);
  // The segment's timer counts from when its recording began.
  void armTimersAndComplete(const Completion& completion);
  // Whether the application capture runs on into the next segment: it is healthy and the
  // rotation handed the recording's run (with its live mix) over.
  bool keepsAppCapture() const;
  void resetSession();

  // rotation, sealing, metering
  void startSegmentTimer(Duration alreadyRecorded = Duration(0));
  void startMeterTimer();
  void stopTimers();
  void onSegmentTimer();
  void onMeterTimer();
  // Why the running segment cannot go on: its recorder's failure or too little free disk.
  [[nodiscard]] OptionalError recordingFailure();
  // Seals what the failed segment holds, then reports the failure as a failed rotation does.
  void endRecordingOnFailure(Error failure);
  void finalizeCurrentSegment(bool startNext, Completion completion);
  void sealSegment(const FinishingSegment& segment, bool startNext, Completion completion);
  void reportRotationResult(OptionalError error);

  // assembly
  void assembleRecording(const Value& arguments, MethodResultPtr result);

  Scheduler& scheduler_;
  std::shared_ptr<AudioServices> audio_;
  std::shared_ptr<AppAudioServices> appAudio_;
  std::shared_ptr<Preflight> preflight_;

  double segmentDuration_ = 30;
  std::optional<EventSink> eventSink_;
  std::vector<ValueMap> heldRecoveredEvents_;
  std::thread recoveryWorker_;
  RuntimeState runtimeState_ = RuntimeState::idle;
  std::function<void()> idleListener_;
  CaptureMode activeCaptureMode_ = CaptureMode::micOnly;
  std::optional<std::string> activeRecordingId_;
  std::optional<std::string> recordingDirectory_;
  std::optional<std::string> currentSegmentPath_;
  std::optional<TimePoint> currentSegmentStartedAt_;
  // When the current segment's microphone file began (monotonic clock).
  Duration currentSegmentMonotonicStart_{};
  std::unique_ptr<MicrophoneRecorder> currentRecorder_;
  // The application's capture, feeding the recording's live mix; it runs on across
  // rotations until it is lost, and is tried again at the next segment then.
  std::unique_ptr<AppAudioCaptureSession> currentAppAudioCaptureSession_;
  uint64_t appCaptureGeneration_ = 0;  // tells a lost capture's late report from a newer one's
  bool appCaptureLost_ = false;
  std::optional<std::string> activeSourceId_;
  std::optional<std::string> activeSourceDisplayName_;
  int64_t nextSegmentIndex_ = 0;
  std::unique_ptr<Timer> segmentTimer_;
  std::unique_ptr<Timer> meterTimer_;
  std::optional<HandedOverMicrophone> handedOver_;

  // Capture sessions whose stop has not completed yet; each is released by its completion.
  std::map<uint64_t, std::unique_ptr<AppAudioCaptureSession>> stoppingCaptureSessions_;
  uint64_t nextStoppingId_ = 0;
  SessionOpQueue sessionOps_;
};

}  // namespace lumewell::recorder
