#include <cerrno>
#include <cmath>
#include <thread>

#include "recorder/recorder_files.h"
#include "recorder/recorder_plugin.h"
#include "runtime/files.h"

namespace lumewell::recorder {
namespace {

Value details(const Error& error) { return Value(error.localizedDescription); }

// Answers a session call: success, or its error code and message with the failure's text.
void answer(const MethodResultPtr& result, const OptionalError& error, const char* code,
            const char* message) {
  if (error) {
    result->error(code, message, details(*error));
  } else {
    result->success();
  }
}

}  // namespace

void LumewellNativeRecorderPlugin::startRecording(const Value& arguments, MethodResultPtr result) {
  const ValueMap* args = arguments.asMap();
  if (args == nullptr) {
    result->error(errors::kBadArgs, errors::kMissingStartArguments);
    return;
  }
  const std::string* modeString = mapString(args, "captureMode");
  const std::string* recordingId = mapString(args, "recordingId");
  const std::string* sourceId = mapString(args, "sourceId");
  const std::string* sourceDisplayName = mapString(args, "sourceDisplayName");
  if (recordingId == nullptr) {
    result->error(errors::kBadArgs, errors::kMissingRecordingId);
    return;
  }
  // The id becomes a folder name: nothing may lead it out of the recordings folder.
  if (!isValidRecordingId(*recordingId)) {
    result->error(errors::kBadArgs, errors::kInvalidRecordingId);
    return;
  }
  // The sound server may be slow or stuck: the status is asked off the main thread (bounded),
  // and the start goes on when it is carried back here.
  StartRequest request;
  request.recordingId = *recordingId;
  request.appMode = modeString != nullptr && *modeString == kMicPlusAppAudio;
  if (sourceId != nullptr) request.sourceId = *sourceId;
  if (sourceDisplayName != nullptr) request.sourceDisplayName = *sourceDisplayName;
  audio_->queryMicrophoneAuthorizationStatus(
      [self = weak_from_this(), main = mainRef(), request = std::move(request),
       result = std::move(result), caller = std::this_thread::get_id()](int status) mutable {
        auto proceed = [status, request = std::move(request),
                        result](LumewellNativeRecorderPlugin& plugin) mutable {
          plugin.startWithMicrophoneStatus(status, std::move(request), result);
        };
        auto gone = [result] { result->error(errors::kStartFailed, errors::kStartFailedText); };
        if (std::this_thread::get_id() != caller) return main.post(std::move(proceed), gone);
        if (auto plugin = self.lock()) return proceed(*plugin);  // answered at once, on this thread
        gone();
      });
}

void LumewellNativeRecorderPlugin::startWithMicrophoneStatus(int status, StartRequest request,
                                                             MethodResultPtr result) {
  if (status != kMicAuthorized) {
    result->error(errors::kPermissionDenied, errors::kMicrophoneNeeded);
    return;
  }
  if (request.appMode && (!request.sourceId || request.sourceId->empty())) {
    result->error(errors::kBadArgs, errors::kMissingAppSource);
    return;
  }
  request.mode = request.appMode ? CaptureMode::micPlusAppAudio : CaptureMode::micOnly;
  sessionOps_.run(true, [this, request = std::move(request),
                         result = std::move(result)](std::function<void()> done) mutable {
    startRecordingOp(std::move(request), std::move(result), std::move(done));
  });
}

void LumewellNativeRecorderPlugin::startRecordingOp(StartRequest request, MethodResultPtr result,
                                                    std::function<void()> done) {
  if (runtimeState_ == RuntimeState::idle) {
    beginSession(request, std::move(result), std::move(done));
    return;
  }
  // A session is still open: end it as stopRecording would, so that its last segment is
  // sealed and reported, before the new one starts.
  endSession([this, request = std::move(request), result = std::move(result),
              done = std::move(done)](OptionalError error) mutable {
    if (error) {
      result->error(errors::kStartFailed, errors::kStartFailedText, details(*error));
      done();
      return;
    }
    beginSession(request, std::move(result), std::move(done));
  });
}

void LumewellNativeRecorderPlugin::beginSession(const StartRequest& request, MethodResultPtr result,
                                                std::function<void()> done) {
  activeRecordingId_ = request.recordingId;
  auto folder = prepareRecordingDirectory(request.recordingId);
  if (!folder) {
    resetSession();
    result->error(errors::kStartFailed, errors::kStartFailedText, details(folder.error()));
    done();
    return;
  }
  // What a crash left in this folder is sealed before anything new is recorded beside it.
  recoverInterruptedSegments(request.recordingId);
  recordingDirectory_ = *folder;
  nextSegmentIndex_ = 0;
  runtimeState_ = RuntimeState::recording;
  activeCaptureMode_ = request.mode;
  activeSourceId_ = request.sourceId;
  activeSourceDisplayName_ = request.sourceDisplayName;
  startSegment([this, result = std::move(result), done = std::move(done)](OptionalError error) {
    if (error) resetSession();
    answer(result, error, errors::kStartFailed, errors::kStartFailedText);
    done();
  });
}

// Ends an open session as stopRecording does: the recording segment is sealed, "stopped" is
// sent and the session returns to idle. On a failed seal the session is reset without
// "stopped" and the error is passed on.
void LumewellNativeRecorderPlugin::endSession(Completion completion) {
  if (runtimeState_ != RuntimeState::recording) {
    sendEvent(ValueMap{{"type", "stopped"}});
    resetSession();
    completion(std::nullopt);
    return;
  }
  finalizeCurrentSegment(false, [this, completion = std::move(completion)](OptionalError error) {
    if (!error) sendEvent(ValueMap{{"type", "stopped"}});
    resetSession();
    completion(std::move(error));
  });
}

void LumewellNativeRecorderPlugin::pauseRecording(MethodResultPtr result) {
  sessionOps_.run(true, [this, result = std::move(result)](std::function<void()> done) {
    if (runtimeState_ != RuntimeState::recording) {
      result->success();
      done();
      return;
    }
    finalizeCurrentSegment(false, [this, result, done](OptionalError error) {
      if (!error) runtimeState_ = RuntimeState::paused;
      answer(result, error, errors::kPauseFailed, errors::kPauseFailedText);
      done();
    });
  });
}

void LumewellNativeRecorderPlugin::resumeRecording(MethodResultPtr result) {
  sessionOps_.run(false, [this, result = std::move(result)](std::function<void()> done) {
    if (runtimeState_ != RuntimeState::paused) {
      result->success();
      done();
      return;
    }
    if (!activeRecordingId_ || !recordingDirectory_) {
      result->error(errors::kResumeFailed, errors::kNothingToResume);
      done();
      return;
    }
    runtimeState_ = RuntimeState::recording;
    startSegment([this, result, done](OptionalError error) {
      if (error) runtimeState_ = RuntimeState::paused;
      answer(result, error, errors::kResumeFailed, errors::kResumeFailedText);
      done();
    });
  });
}

void LumewellNativeRecorderPlugin::stopRecording(MethodResultPtr result) {
  sessionOps_.run(true, [this, result = std::move(result)](std::function<void()> done) {
    endSession([result, done](OptionalError error) {
      answer(result, error, errors::kStopFailed, errors::kStopFailedText);
      done();
    });
  });
}

Result<std::string> LumewellNativeRecorderPlugin::prepareRecordingDirectory(
    const std::string& recordingId) {
  std::string data = audio_->dataDirectory();
  if (data.empty()) {
    return Error{"posix", ENOENT, "No data folder is available for recordings."};
  }
  // The recordings are the user's own: every folder from "recordings" down is 0700.
  const std::string recordings = joinPath(data, "recordings");
  std::string folder = joinPath(recordings, recordingId);
  if (auto error = createPrivateDirectories(folder, recordings)) return *error;
  return folder;
}

RecorderSettings LumewellNativeRecorderPlugin::recorderSettings() const {
  RecorderSettings settings;
  if (activeCaptureMode_ == CaptureMode::micPlusAppAudio) {
    settings.channels = 2;
    settings.bitRate = 192000;
  }
  settings.segmentFrames = std::llround(segmentDuration_ * settings.sampleRate);
  settings.awaitFirstAudio = activeCaptureMode_ == CaptureMode::micOnly;
  settings.mixAppAudio = activeCaptureMode_ == CaptureMode::micPlusAppAudio;
  return settings;
}

void LumewellNativeRecorderPlugin::startSegment(Completion completion) {
  if (!recordingDirectory_) {
    completion(programError(errors::kNoRecordingDirectory, errors::kNoRecordingDirectoryText));
    return;
  }
  stopTimers();
  if (handedOver_) {
    // The rotation has already brought this segment's microphone up, at the moment the
    // previous segment ended; the segment and its timer count from then.
    HandedOverMicrophone next = std::move(*handedOver_);
    handedOver_.reset();
    nextSegmentIndex_ = next.index;
    currentRecorder_ = std::move(next.recorder);
    currentSegmentPath_ = std::move(next.path);
    currentSegmentStartedAt_ = next.startedAt;
    currentSegmentMonotonicStart_ = next.monotonicStart;
    // A running application capture goes on feeding the handed-over run; a lost one is
    // tried again.
    if (activeCaptureMode_ == CaptureMode::micPlusAppAudio && activeSourceId_ &&
        !currentAppAudioCaptureSession_) {
      startAppCapture(std::move(completion));
      return;
    }
    armTimersAndComplete(completion);
    return;
  }
  // A segment never writes over a file already in the folder (a recording id used again, or
  // a segment whose seal failed): it takes the next index whose files are all absent.
  nextSegmentIndex_ = firstFreeSegmentIndex(*recordingDirectory_, nextSegmentIndex_);
  const std::string path = segmentPathFor(nextSegmentIndex_);
  auto recorder = openMicrophone(path);
  if (!recorder) {
    completion(recorder.error());
    return;
  }
  currentRecorder_ = std::move(*recorder);
  currentSegmentPath_ = path;
  currentSegmentStartedAt_ = scheduler_.now();
  currentSegmentMonotonicStart_ = scheduler_.monotonicNow();
  if (activeCaptureMode_ == CaptureMode::micPlusAppAudio && activeSourceId_) {
    startAppCapture(std::move(completion));
    return;
  }
  armTimersAndComplete(completion);
}

// Where a segment's microphone capture comes up, unless a rotation handed the running
// capture over (handOverMicrophone).
Result<std::unique_ptr<MicrophoneRecorder>> LumewellNativeRecorderPlugin::openMicrophone(
    const std::string& path) {
  auto recorder = audio_->makeRecorder(path, recorderSettings());
  if (!recorder) return recorder.error();
  if (!*recorder)
    return programError(errors::kRecorderNotRecording, errors::kRecorderNotRecordingText);
  if (!(*recorder)->record()) {
    return programError(errors::kRecorderNotRecording, errors::kRecorderNotRecordingText);
  }
  return std::move(*recorder);
}

// Both modes record straight into the segment's sealed file: the application's audio is
// mixed into the microphone's recording as it arrives.
std::string LumewellNativeRecorderPlugin::segmentPathFor(int64_t index) const {
  return joinPath(*recordingDirectory_, sealedSegmentName(index));
}

// Called at a rotation while the finished segment's recorder still runs.
void LumewellNativeRecorderPlugin::handOverMicrophone() {
  if (!recordingDirectory_ || !currentRecorder_ || handedOver_) return;
  const int64_t index = firstFreeSegmentIndex(*recordingDirectory_, nextSegmentIndex_ + 1);
  std::string path = segmentPathFor(index);
  auto next = currentRecorder_->continueInto(path);
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
  const TimePoint startedAt =
      scheduler_.now() - std::chrono::duration_cast<TimePoint::duration>(recorded);
  const Duration monotonicStart = scheduler_.monotonicNow() - recorded;
  handedOver_ =
      HandedOverMicrophone{index, std::move(path), std::move(*next), startedAt, monotonicStart};
}

// A rotation that ends without starting the next segment (a failed seal, a pause or stop
// waiting behind it) leaves the handed-over file unreported; it holds only what was
// recorded during the seal, so it goes, and the folder is as if no handover had happened.
void LumewellNativeRecorderPlugin::dropHandedOverMicrophone() {
  if (!handedOver_) return;
  handedOver_->recorder->stop();
  (void)removeFileIfPresent(handedOver_->path);  // as in handOverMicrophone
  handedOver_.reset();
}

void LumewellNativeRecorderPlugin::startAppCapture(Completion completion) {
  if (!appAudio_) {
    onCaptureTargetResolved(Error{kProgramErrorDomain, 34, errors::kAppSourceGone},
                            std::move(completion));
    return;
  }
  appAudio_->resolveCaptureTarget(
      *activeSourceId_, [main = mainRef(), completion = std::move(completion)](
                            Result<AppAudioTarget> target) mutable {
        main.post([target = std::move(target), completion = std::move(completion)](
                      LumewellNativeRecorderPlugin& plugin) mutable {
          plugin.onCaptureTargetResolved(std::move(target), std::move(completion));
        });
      });
}

void LumewellNativeRecorderPlugin::onCaptureTargetResolved(Result<AppAudioTarget> target,
                                                           Completion completion) {
  if (!target) {
    currentAppAudioCaptureSession_.reset();
    sendSourceLost(appAudio_ ? appAudio_->appAudioErrorMessage(target.error())
                             : target.error().localizedDescription);
    armTimersAndComplete(completion);
    return;
  }
  std::shared_ptr<AppAudioFeed> feed =
      currentRecorder_ ? currentRecorder_->appAudioFeed() : nullptr;
  if (!feed) {
    onAppAudioCaptureStarted(programError(errors::kAppCaptureFailed, errors::kAppCaptureFailedText),
                             std::move(completion));
    return;
  }
  const uint64_t generation = ++appCaptureGeneration_;
  appCaptureLost_ = false;
  auto session = appAudio_->makeCaptureSession(
      *target, std::move(feed), [main = mainRef(), generation](std::string reason) {
        // The capture stopped by itself: the microphone goes on, the Dart side is told, and
        // the next segment tries the application again.
        main.post([generation, reason = std::move(reason)](LumewellNativeRecorderPlugin& plugin) {
          if (generation == plugin.appCaptureGeneration_) plugin.appCaptureLost_ = true;
          plugin.sendSourceLost(reason);
        });
      });
  if (!session) {
    onAppAudioCaptureStarted(programError(errors::kAppCaptureFailed, errors::kAppCaptureFailedText),
                             std::move(completion));
    return;
  }
  currentAppAudioCaptureSession_ = std::move(session);
  currentAppAudioCaptureSession_->start(
      [main = mainRef(), completion = std::move(completion)](OptionalError error) mutable {
        main.post([error = std::move(error), completion = std::move(completion)](
                      LumewellNativeRecorderPlugin& plugin) mutable {
          plugin.onAppAudioCaptureStarted(std::move(error), std::move(completion));
        });
      });
}

void LumewellNativeRecorderPlugin::onAppAudioCaptureStarted(OptionalError error,
                                                            Completion completion) {
  if (error) {
    if (currentAppAudioCaptureSession_) currentAppAudioCaptureSession_->cancel();
    currentAppAudioCaptureSession_.reset();
    sendSourceLost(appAudio_ ? appAudio_->appAudioErrorMessage(*error)
                             : error->localizedDescription);
  }
  armTimersAndComplete(completion);
}

void LumewellNativeRecorderPlugin::armTimersAndComplete(const Completion& completion) {
  startSegmentTimer(scheduler_.monotonicNow() - currentSegmentMonotonicStart_);
  startMeterTimer();
  completion(std::nullopt);
}

void LumewellNativeRecorderPlugin::sendSourceLost(const std::string& reason) {
  std::string name = activeSourceDisplayName_ ? *activeSourceDisplayName_
                     : activeSourceId_        ? *activeSourceId_
                                              : std::string(errors::kUnnamedSource);
  sendEvent(ValueMap{{"type", "source_lost"}, {"reason", reason}, {"sourceDisplayName", name}});
}

void LumewellNativeRecorderPlugin::resetSession() {
  stopTimers();
  if (currentRecorder_) {
    currentRecorder_->stop();
    currentRecorder_.reset();
  }
  dropHandedOverMicrophone();
  if (currentAppAudioCaptureSession_) {
    currentAppAudioCaptureSession_->cancel();
    currentAppAudioCaptureSession_.reset();
  }
  appCaptureLost_ = false;
  currentSegmentPath_.reset();
  currentSegmentStartedAt_.reset();
  recordingDirectory_.reset();
  activeRecordingId_.reset();
  activeSourceId_.reset();
  activeSourceDisplayName_.reset();
  nextSegmentIndex_ = 0;
  runtimeState_ = RuntimeState::idle;
  activeCaptureMode_ = CaptureMode::micOnly;
  if (idleListener_) idleListener_();
}

}  // namespace lumewell::recorder
