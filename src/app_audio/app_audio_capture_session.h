#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app_audio/process_table.h"
#include "recorder/audio_services.h"
#include "runtime/error.h"
#include "runtime/scheduler.h"

namespace lumewell::app_audio {

struct CaptureSessionOptions {
  Scheduler* scheduler = nullptr;                 // main thread; none: mainScheduler()
  std::shared_ptr<const ProcessTable> processes;  // none: /proc
};

// Captures the sound of one application (every playback stream of its process and of its
// same-program helpers, through each stream's sink monitor on the host's one sound-server
// connection, mixed by arrival) and hands it to a feed as it arrives, from its first sound on.
// start and stop complete on the main thread; cancel tears down at once and calls nothing. The
// unexpected-stop handler runs on the main thread, at most once, when the application's process
// exits or the sound-server connection is lost.
class LumewellAppAudioCaptureSession final : public recorder::AppAudioCaptureSession {
 public:
  LumewellAppAudioCaptureSession(recorder::AppAudioTarget target,
                                 std::shared_ptr<recorder::AppAudioFeed> feed,
                                 std::function<void(std::string reason)> unexpectedStopHandler,
                                 CaptureSessionOptions options = {});
  ~LumewellAppAudioCaptureSession() override;
  LumewellAppAudioCaptureSession(const LumewellAppAudioCaptureSession&) = delete;
  LumewellAppAudioCaptureSession& operator=(const LumewellAppAudioCaptureSession&) = delete;

  void start(std::function<void(OptionalError)> completion) override;
  void stop(std::function<void(OptionalError)> completion) override;
  void cancel() override;

  struct Core;

 private:
  std::shared_ptr<Core> core_;
};

}  // namespace lumewell::app_audio
