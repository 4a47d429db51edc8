#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "channels/value.h"
#include "recorder/audio_services.h"
#include "recorder/segment_sealer.h"
#include "runtime/scheduler.h"

namespace lumewell::recorder {

enum class CaptureMode { micOnly, micPlusAppAudio };

// The segments of one recording session, one after the other. A segment's microphone comes up
// (in the application mode with the application's capture, which feeds the run's live mix),
// its timer and its meter run, and at a rotation the running capture is handed over to the
// next segment's file before the finished one stops, so no audio falls between the two files.
// A finished segment goes to the SegmentSealer; the next one starts once it is sealed.
// Main thread only: what the capture answers on other threads comes back through mainRef(),
// and the hooks are called here while the plug-in that owns the chain lives.
class SegmentChain : public std::enable_shared_from_this<SegmentChain> {
 public:
  using Completion = std::function<void(OptionalError)>;
  // While recording, free space below this ends the recording: what is recorded so far is
  // sealed while the segment's index still fits on the disk.
  static constexpr int64_t kLowDiskStopFloorBytes = 33554432;  // 32 MiB

  // Where and what a session records.
  struct Recording {
    std::string directory;
    CaptureMode mode = CaptureMode::micOnly;
    std::optional<std::string> sourceId;
    std::optional<std::string> sourceDisplayName;
  };
  struct Hooks {
    std::function<void(ValueMap)> send;  // "level_changed", "source_lost", "segment_sealed"
    std::function<void()> rotationDue;   // the segment's time is up
    std::function<void(Error)> failed;   // the segment cannot go on (its timers are stopped)
    std::function<bool()> goesOn;        // whether a rotated segment is followed by the next
  };

  SegmentChain(Scheduler& scheduler, std::shared_ptr<AudioServices> audio,
               std::shared_ptr<AppAudioServices> appAudio, SegmentSealer& sealer, Hooks hooks);
  ~SegmentChain();
  SegmentChain(const SegmentChain&) = delete;
  SegmentChain& operator=(const SegmentChain&) = delete;

  void setSegmentSeconds(double seconds) { segmentSeconds_ = seconds; }
  // A session's first segment, index 0 or the first free one after it.
  void begin(Recording recording, Completion completion);
  // The next segment: the one a rotation handed over, or a new one at the first free index.
  void start(Completion completion);
  // Ends the recording segment (nothing to do when none records) and seals it; a rotation
  // (startNext) then starts the next one when goesOn().
  void finish(bool startNext, Completion completion);
  // Stops all at once: the session is over.
  void reset();
  bool recording() const { return current_.has_value(); }
  // The recording segment's index, or the one the next segment looks from.
  int64_t nextIndex() const { return index_; }

 private:
  // A segment's file and its recorder; its time counts from monotonicStart.
  struct Segment {
    int64_t index = 0;
    std::string path;
    std::shared_ptr<MicrophoneRecorder> recorder;
    TimePoint startedAt;
    Duration monotonicStart{0};
  };

  MainThreadRef<SegmentChain> mainRef() { return {scheduler_, weak_from_this()}; }
  bool appMode() const { return recording_.mode == CaptureMode::micPlusAppAudio; }
  std::string pathFor(int64_t index) const;
  // Called at a rotation while the finished segment's recorder still runs.
  void handOver();
  // Stops a handed-over recorder that no segment will use and removes its file.
  void dropHandedOver();
  void startAppCapture(Completion completion);
  void onCaptureTargetResolved(Result<AppAudioTarget> target, Completion completion);
  void onAppCaptureStarted(OptionalError error, Completion completion);
  // Whether the application capture runs on into the next segment: it is healthy and the
  // rotation handed the recording's run (with its live mix) over.
  bool keepsAppCapture() const;
  std::string describe(const Error& error) const;
  void sourceLost(const std::string& reason);
  // The segment's timer counts from when its recording began.
  void armTimersAndComplete(const Completion& completion);
  void stopTimers();
  void onMeterTimer();
  void seal(const Segment& finished, bool startNext, Completion completion);

  Scheduler& scheduler_;
  std::shared_ptr<AudioServices> audio_;
  std::shared_ptr<AppAudioServices> appAudio_;
  SegmentSealer& sealer_;
  Hooks hooks_;
  double segmentSeconds_ = 30;
  Recording recording_;
  int64_t index_ = 0;
  std::optional<Segment> current_;
  // The next segment's recorder, already recording: at a rotation the running capture (and in
  // the application mode its live mix) is handed over to it before the finished segment's
  // recorder stops. Its segment counts from the handover.
  std::optional<Segment> next_;
  std::unique_ptr<Timer> segmentTimer_;
  std::unique_ptr<Timer> meterTimer_;
  int meterTicks_ = 0;  // of the segment's meter timer: free space is checked every fourth
  // The application's capture, feeding the recording's live mix; it runs on across
  // rotations until it is lost, and is tried again at the next segment then.
  std::unique_ptr<AppAudioCaptureSession> capture_;
  uint64_t captureGeneration_ = 0;  // tells a lost capture's late report from a newer one's
  bool captureLost_ = false;
  // Captures whose stop has not completed yet, by generation; each is released by its stop.
  std::map<uint64_t, std::unique_ptr<AppAudioCaptureSession>> stopping_;
};

}  // namespace lumewell::recorder
