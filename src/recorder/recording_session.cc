#include <cerrno>
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
  if (!error) return result->success();
  result->error(code, message, details(*error));
}

}  // namespace

void LumewellNativeRecorderPlugin::startRecording(const Value& arguments, MethodResultPtr result) {
  const ValueMap* args = arguments.asMap();
  if (args == nullptr) return result->error(errors::kBadArgs, errors::kMissingStartArguments);
  const std::string* modeString = mapString(args, "captureMode");
  const std::string* recordingId = mapString(args, "recordingId");
  const std::string* sourceId = mapString(args, "sourceId");
  const std::string* sourceDisplayName = mapString(args, "sourceDisplayName");
  if (recordingId == nullptr) return result->error(errors::kBadArgs, errors::kMissingRecordingId);
  // The id becomes a folder name: nothing may lead it out of the recordings folder.
  if (!isValidRecordingId(*recordingId)) {
    return result->error(errors::kBadArgs, errors::kInvalidRecordingId);
  }
  // The sound server may be slow or stuck: the status is asked off the main thread (bounded),
  // and the start goes on when it is carried back here.
  StartRequest request{*recordingId, {}};
  if (modeString != nullptr && *modeString == kMicPlusAppAudio) {
    request.recording.mode = CaptureMode::micPlusAppAudio;
  }
  if (sourceId != nullptr) request.recording.sourceId = *sourceId;
  if (sourceDisplayName != nullptr) request.recording.sourceDisplayName = *sourceDisplayName;
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
    return result->error(errors::kPermissionDenied, errors::kMicrophoneNeeded);
  }
  const SegmentChain::Recording& recording = request.recording;
  if (recording.mode == CaptureMode::micPlusAppAudio &&
      (!recording.sourceId || recording.sourceId->empty())) {
    return result->error(errors::kBadArgs, errors::kMissingAppSource);
  }
  sessionOps_.run(true, [this, request = std::move(request),
                         result = std::move(result)](std::function<void()> done) mutable {
    startRecordingOp(std::move(request), std::move(result), std::move(done));
  });
}

void LumewellNativeRecorderPlugin::startRecordingOp(StartRequest request, MethodResultPtr result,
                                                    std::function<void()> done) {
  if (runtimeState_ == RuntimeState::idle) {
    return beginSession(std::move(request), std::move(result), std::move(done));
  }
  // A session is still open: end it as stopRecording would, so that its last segment is
  // sealed and reported, before the new one starts.
  endSession([this, request = std::move(request), result = std::move(result),
              done = std::move(done)](OptionalError error) mutable {
    if (!error) return beginSession(std::move(request), std::move(result), std::move(done));
    result->error(errors::kStartFailed, errors::kStartFailedText, details(*error));
    done();
  });
}

void LumewellNativeRecorderPlugin::beginSession(StartRequest request, MethodResultPtr result,
                                                std::function<void()> done) {
  // The recordings are the user's own: every folder from "recordings" down is 0700.
  const std::string data = audio_->dataDirectory();
  const std::string recordings = joinPath(data, "recordings");
  std::string& folder = request.recording.directory = joinPath(recordings, request.recordingId);
  const OptionalError prepared =
      data.empty() ? Error{"posix", ENOENT, "No data folder is available for recordings."}
                   : createPrivateDirectories(folder, recordings);
  if (prepared) {
    resetSession();
    result->error(errors::kStartFailed, errors::kStartFailedText, details(*prepared));
    return done();
  }
  // What a crash left in this folder is sealed before anything new is recorded beside it.
  sealer_->recover(request.recordingId);
  recordingDirectory_ = folder;
  runtimeState_ = RuntimeState::recording;
  chain_->begin(std::move(request.recording),
                [this, result = std::move(result), done = std::move(done)](OptionalError error) {
                  if (error) resetSession();
                  answer(result, error, errors::kStartFailed, errors::kStartFailedText);
                  done();
                });
}

// Ends an open session as stopRecording does: the recording segment is sealed, "stopped" is
// sent and the session returns to idle. On a failed seal the session is reset without
// "stopped" and the error is passed on.
void LumewellNativeRecorderPlugin::endSession(Completion completion) {
  chain_->finish(false, [this, completion = std::move(completion)](OptionalError error) {
    if (!error) sendEvent(ValueMap{{"type", "stopped"}});
    resetSession();
    completion(std::move(error));
  });
}

void LumewellNativeRecorderPlugin::pauseRecording(MethodResultPtr result) {
  sessionOps_.run(true, [this, result = std::move(result)](std::function<void()> done) {
    if (runtimeState_ != RuntimeState::recording) {
      result->success();
      return done();
    }
    // The segment has ended whatever its seal gave: nothing records any more, so the session
    // is paused either way, and a resume records again (left "recording", a resume would
    // answer success with nothing being recorded).
    chain_->finish(false, [this, result, done](OptionalError error) {
      runtimeState_ = RuntimeState::paused;
      answer(result, error, errors::kPauseFailed, errors::kPauseFailedText);
      done();
    });
  });
}

void LumewellNativeRecorderPlugin::resumeRecording(MethodResultPtr result) {
  sessionOps_.run(false, [this, result = std::move(result)](std::function<void()> done) {
    if (runtimeState_ != RuntimeState::paused) {
      result->success();
      return done();
    }
    if (!recordingDirectory_) {
      result->error(errors::kResumeFailed, errors::kNothingToResume);
      return done();
    }
    runtimeState_ = RuntimeState::recording;
    chain_->start([this, result, done](OptionalError error) {
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

void LumewellNativeRecorderPlugin::endSegment(OptionalError failure) {
  sessionOps_.run(failure.has_value(), [this, failure](std::function<void()> done) {
    // A pause or stop that ran first has already ended this segment.
    if (runtimeState_ != RuntimeState::recording || !chain_->recording()) return done();
    chain_->finish(!failure, [main = mainRef(), failure, done](OptionalError sealError) {
      OptionalError reported = failure ? failure : sealError;
      if (failure && sealError) {
        reported->localizedDescription +=
            "; the segment in progress could not be sealed: " + sealError->localizedDescription;
      }
      main.post([reported, done](LumewellNativeRecorderPlugin& plugin) {
        if (reported) {
          plugin.sendEvent(ValueMap{
              {"type", "error"},
              {"message", errors::kRotationFailedPrefix + reported->localizedDescription}});
          plugin.resetSession();
        }
        done();
      });
    });
  });
}

void LumewellNativeRecorderPlugin::resetSession() {
  chain_->reset();
  recordingDirectory_.reset();
  runtimeState_ = RuntimeState::idle;
  if (idleListener_) idleListener_();
}

}  // namespace lumewell::recorder
