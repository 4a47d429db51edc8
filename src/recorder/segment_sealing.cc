#include <algorithm>
#include <cerrno>
#include <cmath>
#include <string>

#include "recorder/recorder_files.h"
#include "recorder/recorder_plugin.h"
#include "runtime/files.h"
#include "runtime/iso8601.h"

namespace lumewell::recorder {

void LumewellNativeRecorderPlugin::startSegmentTimer(Duration alreadyRecorded) {
  const Duration interval =
      std::max(Duration(0), secondsToDuration(segmentDuration_) - alreadyRecorded);
  segmentTimer_ = scheduler_.oneShot(interval, [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->onSegmentTimer();
  });
}

void LumewellNativeRecorderPlugin::startMeterTimer() {
  meterTimer_ = scheduler_.repeating(std::chrono::milliseconds(250), [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->onMeterTimer();
  });
}

void LumewellNativeRecorderPlugin::stopTimers() {
  if (segmentTimer_) segmentTimer_->invalidate();
  if (meterTimer_) meterTimer_->invalidate();
  segmentTimer_.reset();
  meterTimer_.reset();
}

void LumewellNativeRecorderPlugin::onMeterTimer() {
  if (!currentRecorder_) return;
  if (auto failure = recordingFailure()) {
    endRecordingOnFailure(std::move(*failure));
    return;
  }
  currentRecorder_->updateMeters();
  float power = currentRecorder_->averagePowerForChannel(0);
  if (!std::isfinite(power)) power = -160.0f;  // the level must stay a number above 0
  float level = std::pow(10.0f, power / 20.0f);
  if (level > 1.0f) level = 1.0f;
  sendEvent(ValueMap{{"type", "level_changed"}, {"level", static_cast<double>(level)}});
}

void LumewellNativeRecorderPlugin::onSegmentTimer() {
  if (runtimeState_ != RuntimeState::recording) return;
  sessionOps_.run(false, [this](std::function<void()> done) {
    // A pause or stop that ran first has already ended this segment.
    if (runtimeState_ != RuntimeState::recording || !currentRecorder_) {
      done();
      return;
    }
    finalizeCurrentSegment(true, [main = mainRef(), done](OptionalError error) {
      main.post([error = std::move(error), done](LumewellNativeRecorderPlugin& plugin) {
        plugin.reportRotationResult(error);
        done();
      });
    });
  });
}

OptionalError LumewellNativeRecorderPlugin::recordingFailure() {
  if (auto failure = currentRecorder_->failure()) return failure;
  // Unknown free space is no reason to end a recording; the preflight is the gate for that.
  const std::optional<int64_t> free = audio_->freeDiskBytes();
  if (free && *free < kLowDiskStopFloorBytes) {
    return Error{"posix", ENOSPC,
                 "The disk holding " + recordingDirectory_.value_or(audio_->dataDirectory()) +
                     " has only " + std::to_string(*free) + " bytes free, below the " +
                     std::to_string(kLowDiskStopFloorBytes) + " needed to go on recording."};
  }
  return std::nullopt;
}

void LumewellNativeRecorderPlugin::endRecordingOnFailure(Error failure) {
  stopTimers();  // reported once; no rotation starts meanwhile
  sessionOps_.run(true, [this, failure = std::move(failure)](std::function<void()> done) {
    // A pause or stop that ran first has already sealed the segment.
    if (runtimeState_ != RuntimeState::recording || !currentRecorder_) {
      done();
      return;
    }
    finalizeCurrentSegment(false, [main = mainRef(), failure, done](OptionalError sealError) {
      Error reported = failure;
      if (sealError) {
        reported.localizedDescription +=
            "; the segment in progress could not be sealed: " + sealError->localizedDescription;
      }
      main.post([reported = std::move(reported), done](LumewellNativeRecorderPlugin& plugin) {
        plugin.reportRotationResult(reported);
        done();
      });
    });
  });
}

void LumewellNativeRecorderPlugin::reportRotationResult(OptionalError error) {
  if (!error) return;
  sendEvent(ValueMap{{"type", "error"},
                     {"message", errors::kRotationFailedPrefix + error->localizedDescription}});
  resetSession();
}

bool LumewellNativeRecorderPlugin::keepsAppCapture() const {
  return currentAppAudioCaptureSession_ && !appCaptureLost_ && handedOver_ &&
         handedOver_->recorder->appAudioFeed();
}

void LumewellNativeRecorderPlugin::finalizeCurrentSegment(bool startNext, Completion completion) {
  stopTimers();
  if (!currentRecorder_ || !currentSegmentPath_ || !currentSegmentStartedAt_) {
    completion(std::nullopt);
    return;
  }
  // A rotation hands the capture to the next segment's file before this one stops, so the
  // two files meet without a gap; this recorder's time then ends at the handover. Not when a
  // pause or stop already waits: no next segment will start.
  if (startNext && !sessionOps_.segmentEndPending()) handOverMicrophone();
  FinishingSegment segment;
  currentRecorder_->stop();
  currentRecorder_.reset();
  segment.index = nextSegmentIndex_;
  segment.mode = activeCaptureMode_;
  segment.path = *currentSegmentPath_;
  segment.startedAt = *currentSegmentStartedAt_;
  currentSegmentPath_.reset();
  currentSegmentStartedAt_.reset();
  // The application's capture feeds the run's live mix: it goes on into the next segment
  // with the run, and stops with it (a pause, a stop, a failure, or a lost application).
  if (keepsAppCapture()) {
    sealSegment(segment, startNext, completion);
    return;
  }
  std::unique_ptr<AppAudioCaptureSession> capture = std::move(currentAppAudioCaptureSession_);
  appCaptureLost_ = false;
  if (!capture) {
    sealSegment(segment, startNext, completion);
    return;
  }
  // The session object lives until its stop has completed.
  const uint64_t id = nextStoppingId_++;
  AppAudioCaptureSession* stopping = capture.get();
  stoppingCaptureSessions_.emplace(id, std::move(capture));
  stopping->stop([main = mainRef(), id, segment = std::move(segment), startNext,
                  completion = std::move(completion)](OptionalError error) mutable {
    main.post([id, error = std::move(error), segment = std::move(segment), startNext,
               completion = std::move(completion)](LumewellNativeRecorderPlugin& plugin) mutable {
      plugin.stoppingCaptureSessions_.erase(id);
      if (error) {
        plugin.sendSourceLost(plugin.appAudio_ ? plugin.appAudio_->appAudioErrorMessage(*error)
                                               : error->localizedDescription);
      }
      plugin.sealSegment(segment, startNext, completion);
    });
  });
}

void LumewellNativeRecorderPlugin::sealSegment(const FinishingSegment& segment, bool startNext,
                                               Completion completion) {
  const std::string& sealPath = segment.path;
  // After a failed seal no next segment starts: the handed-over microphone is dropped.
  auto fail = [this, &completion](const Error& error) {
    dropHandedOverMicrophone();
    completion(error);
  };
  // What "segment_sealed" reports must survive a power cut: the file's data and its name
  // in the folder are on the disk before the event goes out.
  if (auto error = syncFileAndFolder(sealPath)) return fail(*error);
  // A file that does not play stays on disk, unreported.
  const Result<SegmentMeasure> measured = measureSegment(*audio_, sealPath);
  if (!measured) return fail(measured.error());
  const int channelCount = segment.mode == CaptureMode::micOnly ? 1 : 2;
  sendEvent(ValueMap{{"type", "segment_sealed"},
                     {"index", Value::integer(segment.index)},
                     {"path", sealPath},
                     {"durationMs", Value::integer(measured->durationMs)},
                     {"byteLength", Value::integer(measured->byteLength)},
                     {"sha256", measured->sha256},
                     {"codec", "aac-lc"},
                     {"sampleRate", Value::integer(48000)},
                     {"channelCount", Value::integer(channelCount)},
                     {"sealedAt", iso8601Millis(scheduler_.now())},
                     {"startedAt", iso8601Millis(segment.startedAt)}});
  nextSegmentIndex_ = segment.index + 1;
  // A pause or stop waiting behind this rotation ends the session here: no new segment that
  // it would only cut off again.
  if (startNext && runtimeState_ == RuntimeState::recording && !sessionOps_.segmentEndPending()) {
    startSegment(std::move(completion));
    return;
  }
  dropHandedOverMicrophone();
  completion(std::nullopt);
}

}  // namespace lumewell::recorder
