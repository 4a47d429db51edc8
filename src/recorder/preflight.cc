#include "recorder/preflight.h"

#include <thread>

#include "recorder/recorder_errors.h"

namespace lumewell::recorder {
namespace {

std::optional<std::string> storageWarning(int64_t freeBytes) {
  if (freeBytes < Preflight::kLowDiskHardLimitBytes) return errors::kDiskCriticallyLow;
  if (freeBytes < Preflight::kLowDiskWarningBytes) return errors::kDiskLow;
  return std::nullopt;
}

}  // namespace

int64_t Preflight::freeDiskBytes() {
  auto free = audio_->freeDiskBytes();
  return free && *free > 0 ? *free : 0;
}

ValueMap Preflight::answer(bool ready, const std::optional<std::string>& reason) {
  const int64_t free = freeDiskBytes();
  ValueMap record{{"ready", ready}, {"freeBytes", Value::integer(free)}};
  if (reason) record.set("reason", *reason);
  if (auto warning = storageWarning(free)) record.set("warning", *warning);
  return record;
}

void Preflight::storageStatus(const MethodResultPtr& result) {
  const int64_t free = freeDiskBytes();
  ValueMap record{{"freeBytes", Value::integer(free)}};
  if (auto warning = storageWarning(free)) record.set("warning", *warning);
  result->success(record);
}

void Preflight::run(const Value& arguments, MethodResultPtr result) {
  const ValueMap* args = arguments.asMap();
  const std::string* mode = mapString(args, "captureMode");
  const std::string* source = mapString(args, "sourceId");
  const bool appMode = mode != nullptr && *mode == kMicPlusAppAudio;
  std::optional<std::string> sourceId;
  if (source != nullptr) sourceId = *source;

  if (freeDiskBytes() < kLowDiskHardLimitBytes) {
    return result->success(answer(false, errors::kNoRoomToStart));
  }
  // The sound server may be slow or stuck: the status is asked off the main thread, and an
  // answer from another thread is carried back to it.
  audio_->queryMicrophoneAuthorizationStatus([self = weak_from_this(), main = mainRef(), appMode,
                                              sourceId, result,
                                              caller = std::this_thread::get_id()](int status) {
    auto proceed = [appMode, sourceId, result, status](Preflight& preflight) {
      preflight.continueWithStatus(status, appMode, sourceId, result);
    };
    auto gone = [result] { result->success(ValueMap()); };
    if (std::this_thread::get_id() != caller) return main.post(proceed, gone);
    // Answered at once, on this (the main) thread.
    if (auto preflight = self.lock()) return proceed(*preflight);
    gone();
  });
}

void Preflight::continueWithStatus(int status, bool appMode, std::optional<std::string> sourceId,
                                   MethodResultPtr result) {
  switch (status) {
    case kMicAuthorized:
      return continueWithMode(appMode, std::move(sourceId), std::move(result));
    case kMicRestricted:
    case kMicDenied:
      return result->success(answer(false, errors::kMicrophoneBlocked));
    case kMicNotDetermined:
      audio_->requestMicrophoneAccess(
          [main = mainRef(), appMode, sourceId, result = std::move(result)](bool granted) {
            main.post(
                [appMode, sourceId, result, granted](Preflight& preflight) {
                  if (granted) return preflight.continueWithMode(appMode, sourceId, result);
                  result->success(preflight.answer(false, errors::kMicrophoneDenied));
                },
                [result] { result->success(ValueMap()); });
          });
      return;
    default:
      return result->success(answer(false, errors::kMicrophoneUnknown));
  }
}

void Preflight::continueWithMode(bool appMode, std::optional<std::string> sourceId,
                                 MethodResultPtr result) {
  if (!appMode) return result->success(answer(true, std::nullopt));
  if (!sourceId || sourceId->empty()) return result->success(answer(false, errors::kPickAppSource));
  if (!appAudio_) return result->success(answer(false, errors::kAppSourceGone));
  // The validation may answer on any thread; the answer is given on the main thread.
  appAudio_->validateSource(
      *sourceId, [main = mainRef(), result](bool ok, std::optional<std::string> message) {
        main.post(
            [result, ok, message](Preflight& preflight) {
              if (ok) return result->success(preflight.answer(true, std::nullopt));
              result->success(preflight.answer(false, message.value_or(errors::kAppSourceInvalid)));
            },
            [result] { result->success(ValueMap()); });
      });
}

void Preflight::listAppAudioSources(MethodResultPtr result) {
  if (!appAudio_) return result->success(ValueList());
  appAudio_->listSources(
      [scheduler = &scheduler_, result = std::move(result)](std::vector<AppAudioSource> sources) {
        ValueList records;
        records.reserve(sources.size());
        for (const auto& source : sources) {
          ValueMap record;
          for (auto& [key, value] : appAudioSourceFields(source)) record.set(key, value);
          records.emplace_back(std::move(record));
        }
        scheduler->post([result, records = std::move(records)] { result->success(records); });
      });
}

}  // namespace lumewell::recorder
