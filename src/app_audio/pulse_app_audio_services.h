#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app_audio/catalogue_rules.h"
#include "app_audio/process_table.h"
#include "recorder/audio_services.h"
#include "runtime/coalesced_query.h"
#include "runtime/scheduler.h"

namespace lumewell::app_audio {

struct PulseAppAudioOptions {
  Scheduler* scheduler = nullptr;  // main thread for capture sessions; none: mainScheduler()
  std::shared_ptr<const ProcessTable> processes;  // none: /proc
  int32_t hostProcessId = 0;                      // 0: getpid()
  // Desktop entry id for a program; none: the installed entries (GIO).
  std::function<std::string(const std::string& program)> desktopEntryId;
};

// The application-audio services over the host's one sound-server connection: a query takes
// a fresh snapshot on a worker thread and completes there; an unparsable id completes
// at once on the caller's thread. One snapshot is taken at a time: callers that arrive while
// one is being taken share the next one, which begins after their call. No caller waits
// longer than kQueryDeadline for its answer (a failed query's answer).
class PulseAppAudioServices final : public recorder::AppAudioServices {
 public:
  explicit PulseAppAudioServices(PulseAppAudioOptions options = {});
  ~PulseAppAudioServices() override;

  void listSources(std::function<void(std::vector<recorder::AppAudioSource>)> completion) override;
  void validateSource(const std::string& sourceId,
                      std::function<void(bool ok, std::optional<std::string>)> done) override;
  void resolveCaptureTarget(
      const std::string& sourceId,
      std::function<void(Result<recorder::AppAudioTarget>)> completion) override;
  std::string appAudioErrorMessage(const Error& error) override;
  std::unique_ptr<recorder::AppAudioCaptureSession> makeCaptureSession(
      const recorder::AppAudioTarget& target, std::shared_ptr<recorder::AppAudioFeed> feed,
      std::function<void(std::string reason)> onUnexpectedStop) override;

  static constexpr std::chrono::milliseconds kQueryDeadline{2000};

  // The snapshot itself, synchronously (not on a libpulse thread).
  Result<ShareableContent> takeSnapshot(
      std::optional<std::chrono::steady_clock::time_point> deadline = {});

 private:
  PulseAppAudioOptions options_;
  CoalescedQuery<Result<ShareableContent>> snapshots_;  // last: its worker joins first
};

}  // namespace lumewell::app_audio
