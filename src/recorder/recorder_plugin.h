#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "channels/binary_messenger.h"
#include "channels/event_channel.h"
#include "channels/method_channel.h"
#include "recorder/audio_services.h"
#include "recorder/preflight.h"
#include "recorder/recorder_errors.h"
#include "recorder/segment_chain.h"
#include "recorder/session_op_queue.h"
#include "runtime/scheduler.h"

namespace lumewell::recorder {

enum class RuntimeState { idle, recording, paused };

// The recorder plug-in: the "lumewell/native_recorder" method channel and its event channel,
// the recording session's calls, one at a time, and assembly. The segments of a session are
// its SegmentChain's, their files its SegmentSealer's; the preflight, storage and source
// questions go to its Preflight. Everything here runs on the main thread of the given
// scheduler; work that ends on other threads comes back through mainRef().
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
  void setSegmentDuration(double seconds) { chain_->setSegmentSeconds(seconds); }
  RuntimeState runtimeState() const { return runtimeState_; }
  // Called on the main thread each time the session has returned to idle.
  void setIdleListener(std::function<void()> listener) { idleListener_ = std::move(listener); }
  int64_t nextSegmentIndex() const { return chain_->nextIndex(); }
  const std::optional<std::string>& recordingDirectory() const { return recordingDirectory_; }

  // While recording, free space below this ends the recording.
  static constexpr int64_t kLowDiskStopFloorBytes = SegmentChain::kLowDiskStopFloorBytes;

 private:
  struct StartRequest {
    std::string recordingId;
    SegmentChain::Recording recording;  // its directory is the recording id's folder
  };

  void sendEvent(ValueMap event);
  // What a completion that may run on another thread holds the plug-in by.
  MainThreadRef<LumewellNativeRecorderPlugin> mainRef() { return {scheduler_, weak_from_this()}; }

  // The session's calls; each runs in its turn (sessionOps_).
  void startRecording(const Value& arguments, MethodResultPtr result);
  void startWithMicrophoneStatus(int status, StartRequest request, MethodResultPtr result);
  void startRecordingOp(StartRequest request, MethodResultPtr result, std::function<void()> done);
  void beginSession(StartRequest request, MethodResultPtr result, std::function<void()> done);
  void endSession(Completion completion);
  void pauseRecording(MethodResultPtr result);
  void resumeRecording(MethodResultPtr result);
  void stopRecording(MethodResultPtr result);
  // The recording segment ends at its time (a rotation), or at a failure, which is reported
  // as a failed rotation is: what the segment holds is sealed, then the session ends.
  void endSegment(OptionalError failure);
  void resetSession();

  void assembleRecording(const Value& arguments, MethodResultPtr result);

  Scheduler& scheduler_;
  std::shared_ptr<AudioServices> audio_;
  std::shared_ptr<Preflight> preflight_;
  std::shared_ptr<SegmentSealer> sealer_;
  std::shared_ptr<SegmentChain> chain_;

  std::optional<EventSink> eventSink_;
  std::vector<ValueMap> heldRecoveredEvents_;
  RuntimeState runtimeState_ = RuntimeState::idle;
  std::function<void()> idleListener_;
  std::optional<std::string> recordingDirectory_;
  SessionOpQueue sessionOps_;
};

}  // namespace lumewell::recorder
