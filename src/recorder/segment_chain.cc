#include "recorder/segment_chain.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <utility>

#include "recorder/recorder_errors.h"
#include "recorder/recorder_files.h"

namespace lumewell::recorder {

SegmentChain::SegmentChain(Scheduler& scheduler, std::shared_ptr<AudioServices> audio,
                           std::shared_ptr<AppAudioServices> appAudio, SegmentSealer& sealer,
                           Hooks hooks)
    : scheduler_(scheduler),
      audio_(std::move(audio)),
      appAudio_(std::move(appAudio)),
      sealer_(sealer),
      hooks_(std::move(hooks)) {}

SegmentChain::~SegmentChain() {
  // Nothing may outlive the timers; a running recorder closes its file.
  stopTimers();
  if (current_) current_->recorder->stop();
  if (next_) next_->recorder->stop();
  if (capture_) capture_->cancel();
}

void SegmentChain::begin(Recording recording, Completion completion) {
  recording_ = std::move(recording);
  start(std::move(completion));
}

void SegmentChain::start(Completion completion) {
  stopTimers();
  if (next_) {
    // The rotation has already brought this segment's microphone up, at the moment the
    // previous segment ended; the segment and its timer count from then.
    current_ = std::exchange(next_, std::nullopt);
  } else {
    // A segment never writes over a file already in the folder (a recording id used again, or
    // a segment whose seal failed): it takes the next index whose files are all absent.
    // Both modes record straight into the segment's sealed file.
    index_ = firstFreeSegmentIndex(recording_.directory, index_);
    RecorderSettings settings;
    if (appMode()) {
      settings.channels = 2;
      settings.bitRate = 192000;
    }
    settings.segmentFrames = std::llround(segmentSeconds_ * settings.sampleRate);
    settings.awaitFirstAudio = !appMode();
    settings.mixAppAudio = appMode();
    auto recorder = audio_->makeRecorder(pathFor(index_), settings);
    if (!recorder) return completion(recorder.error());
    if (!*recorder || !(*recorder)->record()) {
      return completion(
          programError(errors::kRecorderNotRecording, errors::kRecorderNotRecordingText));
    }
    current_ = Segment{index_, pathFor(index_), std::move(*recorder), scheduler_.now(),
                       scheduler_.monotonicNow()};
  }
  index_ = current_->index;
  // A running application capture goes on feeding the handed-over run; a lost one is tried
  // again.
  if (appMode() && recording_.sourceId && !capture_) return startAppCapture(std::move(completion));
  armTimersAndComplete(completion);
}

void SegmentChain::reset() {
  stopTimers();
  if (current_) current_->recorder->stop();
  current_.reset();
  dropHandedOver();
  if (capture_) capture_->cancel();
  capture_.reset();
  recording_ = {};
  index_ = 0;
}

std::string SegmentChain::pathFor(int64_t index) const {
  return joinPath(recording_.directory, sealedSegmentName(index));
}

void SegmentChain::handOver() {
  if (!current_ || next_) return;
  const int64_t index = firstFreeSegmentIndex(recording_.directory, index_ + 1);
  std::string path = pathFor(index);
  auto next = current_->recorder->continueInto(path);
  if (!next || !*next) {
    // The index was free a moment ago: whatever a failed handover left there goes, and the
    // next segment starts the usual way after the seal.
    // A file that cannot go stays unreported; later segments take other indexes.
    (void)removeFileIfPresent(path);
    return;
  }
  // The next segment began where the stream was cut, maybe a moment ago: its time and its
  // timer count from there, so the timer keeps to the capture's clock.
  const Duration recorded = secondsToDuration((*next)->currentTime());
  next_ = Segment{index, std::move(path), std::move(*next),
                  scheduler_.now() - std::chrono::duration_cast<TimePoint::duration>(recorded),
                  scheduler_.monotonicNow() - recorded};
}

// A rotation that ends without starting the next segment (a failed seal, a pause or stop
// waiting behind it) leaves the handed-over file unreported; it holds only what was
// recorded during the seal, so it goes, and the folder is as if no handover had happened.
void SegmentChain::dropHandedOver() {
  if (!next_) return;
  next_->recorder->stop();
  (void)removeFileIfPresent(next_->path);  // as in handOver
  next_.reset();
}

void SegmentChain::startAppCapture(Completion completion) {
  if (!appAudio_) {
    sourceLost(errors::kAppSourceGone);
    return armTimersAndComplete(completion);
  }
  appAudio_->resolveCaptureTarget(
      *recording_.sourceId, [main = mainRef(), completion = std::move(completion)](
                                Result<AppAudioTarget> target) mutable {
        main.post([target = std::move(target),
                   completion = std::move(completion)](SegmentChain& chain) mutable {
          chain.onCaptureTargetResolved(std::move(target), std::move(completion));
        });
      });
}

void SegmentChain::onCaptureTargetResolved(Result<AppAudioTarget> target, Completion completion) {
  if (!target) {
    sourceLost(describe(target.error()));
    return armTimersAndComplete(completion);
  }
  std::shared_ptr<AppAudioFeed> feed = current_ ? current_->recorder->appAudioFeed() : nullptr;
  const uint64_t generation = ++captureGeneration_;
  captureLost_ = false;
  if (feed) {
    capture_ = appAudio_->makeCaptureSession(
        *target, std::move(feed), [main = mainRef(), generation](std::string reason) {
          // The capture stopped by itself: the microphone goes on, the Dart side is told, and
          // the next segment tries the application again.
          main.post([generation, reason = std::move(reason)](SegmentChain& chain) {
            if (generation == chain.captureGeneration_) chain.captureLost_ = true;
            chain.sourceLost(reason);
          });
        });
  }
  if (!capture_) {
    return onAppCaptureStarted(
        programError(errors::kAppCaptureFailed, errors::kAppCaptureFailedText),
        std::move(completion));
  }
  capture_->start([main = mainRef(), completion = std::move(completion)](OptionalError error) {
    main.post([error = std::move(error), completion](SegmentChain& chain) {
      chain.onAppCaptureStarted(error, completion);
    });
  });
}

void SegmentChain::onAppCaptureStarted(OptionalError error, Completion completion) {
  if (error) {
    if (capture_) capture_->cancel();
    capture_.reset();
    sourceLost(describe(*error));
  }
  armTimersAndComplete(completion);
}

bool SegmentChain::keepsAppCapture() const {
  return capture_ && !captureLost_ && next_ && next_->recorder->appAudioFeed();
}

std::string SegmentChain::describe(const Error& error) const {
  return appAudio_ ? appAudio_->appAudioErrorMessage(error) : error.localizedDescription;
}

void SegmentChain::sourceLost(const std::string& reason) {
  const std::string name =
      recording_.sourceDisplayName.value_or(recording_.sourceId.value_or(errors::kUnnamedSource));
  hooks_.send(ValueMap{{"type", "source_lost"}, {"reason", reason}, {"sourceDisplayName", name}});
}

void SegmentChain::armTimersAndComplete(const Completion& completion) {
  // A segment ended while its application capture came up has no timers to run.
  if (!current_) return completion(std::nullopt);
  const Duration recorded = scheduler_.monotonicNow() - current_->monotonicStart;
  segmentTimer_ =
      scheduler_.oneShot(std::max(Duration(0), secondsToDuration(segmentSeconds_) - recorded),
                         [weak = weak_from_this()] {
                           if (auto self = weak.lock()) self->hooks_.rotationDue();
                         });
  meterTicks_ = 0;
  meterTimer_ = scheduler_.repeating(std::chrono::milliseconds(250), [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->onMeterTimer();
  });
  completion(std::nullopt);
}

void SegmentChain::stopTimers() {
  if (segmentTimer_) segmentTimer_->invalidate();
  if (meterTimer_) meterTimer_->invalidate();
  segmentTimer_.reset();
  meterTimer_.reset();
}

void SegmentChain::onMeterTimer() {
  if (!current_) return;
  MicrophoneRecorder& recorder = *current_->recorder;
  // The recorder's failure, or too little free disk, looked up once a second (the lookup walks
  // the folder's path; the disk fills far slower). Unknown free space is no reason to end a
  // recording; the preflight is the gate for that.
  OptionalError failure = recorder.failure();
  const bool checkDisk = meterTicks_++ % 4 == 0;
  const std::optional<int64_t> free =
      failure || !checkDisk ? std::nullopt : audio_->freeDiskBytes();
  if (free && *free < kLowDiskStopFloorBytes) {
    failure = Error{"posix", ENOSPC,
                    "The disk holding " + recording_.directory + " has only " +
                        std::to_string(*free) + " bytes free, below the " +
                        std::to_string(kLowDiskStopFloorBytes) + " needed to go on recording."};
  }
  if (failure) {
    stopTimers();  // reported once; no rotation starts meanwhile
    return hooks_.failed(std::move(*failure));
  }
  recorder.updateMeters();
  float power = recorder.averagePowerForChannel(0);
  if (!std::isfinite(power)) power = -160.0f;  // the level must stay a number above 0
  const float level = std::min(1.0f, std::pow(10.0f, power / 20.0f));
  hooks_.send(ValueMap{{"type", "level_changed"}, {"level", static_cast<double>(level)}});
}

void SegmentChain::finish(bool startNext, Completion completion) {
  stopTimers();
  if (!current_) return completion(std::nullopt);
  // A rotation hands the capture to the next segment's file before this one stops, so the
  // two files meet without a gap; this recorder's time then ends at the handover. Not when a
  // pause or stop already waits: no next segment will start.
  if (startNext && hooks_.goesOn()) handOver();
  Segment finished = std::exchange(current_, std::nullopt).value();
  finished.recorder->stop();
  finished.recorder.reset();
  // The application's capture feeds the run's live mix: it goes on into the next segment
  // with the run, and stops with it (a pause, a stop, a failure, or a lost application).
  if (!capture_ || keepsAppCapture()) return seal(finished, startNext, std::move(completion));
  // The session object lives until its stop has completed.
  const uint64_t id = captureGeneration_;
  AppAudioCaptureSession& stopping = *(stopping_[id] = std::move(capture_));
  stopping.stop([main = mainRef(), id, finished, startNext, completion](OptionalError error) {
    main.post([id, error, finished, startNext, completion](SegmentChain& chain) {
      chain.stopping_.erase(id);
      if (error) chain.sourceLost(chain.describe(*error));
      chain.seal(finished, startNext, completion);
    });
  });
}

void SegmentChain::seal(const Segment& finished, bool startNext, Completion completion) {
  if (auto error =
          sealer_.seal(finished.index, finished.path, appMode() ? 2 : 1, finished.startedAt)) {
    // After a failed seal no next segment starts: the handed-over microphone is dropped.
    dropHandedOver();
    return completion(error);
  }
  index_ = finished.index + 1;
  // A pause or stop waiting behind this rotation ends the session here: no new segment that
  // it would only cut off again.
  if (startNext && hooks_.goesOn()) return start(std::move(completion));
  dropHandedOver();
  completion(std::nullopt);
}

}  // namespace lumewell::recorder
