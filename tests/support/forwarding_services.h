#pragma once

#include <memory>
#include <utility>

#include "recorder/audio_services.h"

namespace lumewell::testing {

// The recorder's platform services passed through to real ones, for a test or a benchmark to
// override only what it watches or delays. Header-only: the support library needs no recorder.
class ForwardingAudioServices : public recorder::AudioServices {
 public:
  explicit ForwardingAudioServices(std::shared_ptr<recorder::AudioServices> inner)
      : inner_(std::move(inner)) {}
  Result<std::unique_ptr<recorder::MicrophoneRecorder>> makeRecorder(
      const std::string& path, const recorder::RecorderSettings& settings) override {
    return inner_->makeRecorder(path, settings);
  }
  int microphoneAuthorizationStatus() override { return inner_->microphoneAuthorizationStatus(); }
  void queryMicrophoneAuthorizationStatus(std::function<void(int)> completion) override {
    inner_->queryMicrophoneAuthorizationStatus(std::move(completion));
  }
  void requestMicrophoneAccess(std::function<void(bool)> completion) override {
    inner_->requestMicrophoneAccess(std::move(completion));
  }
  std::optional<int64_t> mediaDurationMs(const std::string& path) override {
    return inner_->mediaDurationMs(path);
  }
  Result<std::string> sha256Hex(const std::string& path) override {
    return inner_->sha256Hex(path);
  }
  void composeAudio(std::vector<std::string> paths, std::string output,
                    std::function<void(OptionalError)> completion) override {
    inner_->composeAudio(std::move(paths), std::move(output), std::move(completion));
  }
  Result<recorder::RecoveredSegmentFile> finalizeInterruptedSegment(
      const std::string& partPath) override {
    return inner_->finalizeInterruptedSegment(partPath);
  }
  std::optional<int64_t> freeDiskBytes() override { return inner_->freeDiskBytes(); }
  std::string dataDirectory() override { return inner_->dataDirectory(); }

 private:
  std::shared_ptr<recorder::AudioServices> inner_;
};

class ForwardingAppAudioServices : public recorder::AppAudioServices {
 public:
  explicit ForwardingAppAudioServices(std::shared_ptr<recorder::AppAudioServices> inner)
      : inner_(std::move(inner)) {}
  void listSources(std::function<void(std::vector<recorder::AppAudioSource>)> done) override {
    inner_->listSources(std::move(done));
  }
  void validateSource(const std::string& id,
                      std::function<void(bool, std::optional<std::string>)> done) override {
    inner_->validateSource(id, std::move(done));
  }
  void resolveCaptureTarget(const std::string& id,
                            std::function<void(Result<recorder::AppAudioTarget>)> done) override {
    inner_->resolveCaptureTarget(id, std::move(done));
  }
  std::string appAudioErrorMessage(const Error& error) override {
    return inner_->appAudioErrorMessage(error);
  }
  std::unique_ptr<recorder::AppAudioCaptureSession> makeCaptureSession(
      const recorder::AppAudioTarget& target, std::shared_ptr<recorder::AppAudioFeed> feed,
      std::function<void(std::string)> onUnexpectedStop) override {
    return inner_->makeCaptureSession(target, std::move(feed), std::move(onUnexpectedStop));
  }

 private:
  std::shared_ptr<recorder::AppAudioServices> inner_;
};

}  // namespace lumewell::testing
