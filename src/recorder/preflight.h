#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "channels/method_channel.h"
#include "recorder/audio_services.h"
#include "runtime/scheduler.h"

namespace lumewell::recorder {

// The "captureMode" of a recording of the microphone and an application; any other is the
// microphone alone.
inline constexpr char kMicPlusAppAudio[] = "MIC_PLUS_APP_AUDIO";

// Whether a recording may start now, and what the disk and the applications offer: the
// answers to "runPreflight", "getStorageStatus" and "listAppAudioSources". Main thread; what
// the sound server answers on other threads is carried back to it. A preflight that has gone
// before its answer came answers with an empty record.
class Preflight : public std::enable_shared_from_this<Preflight> {
 public:
  static constexpr int64_t kLowDiskWarningBytes = 4294967296;   // 4 GiB
  static constexpr int64_t kLowDiskHardLimitBytes = 536870912;  // 512 MiB

  // appAudio may be null: the application mode then finds no sources.
  Preflight(Scheduler& scheduler, std::shared_ptr<AudioServices> audio,
            std::shared_ptr<AppAudioServices> appAudio)
      : scheduler_(scheduler), audio_(std::move(audio)), appAudio_(std::move(appAudio)) {}

  void run(const Value& arguments, MethodResultPtr result);
  void storageStatus(const MethodResultPtr& result);
  void listAppAudioSources(MethodResultPtr result);

 private:
  void continueWithStatus(int status, bool appMode, std::optional<std::string> sourceId,
                          MethodResultPtr result);
  void continueWithMode(bool appMode, std::optional<std::string> sourceId, MethodResultPtr result);
  ValueMap answer(bool ready, const std::optional<std::string>& reason);
  int64_t freeDiskBytes();
  MainThreadRef<Preflight> mainRef() { return {scheduler_, weak_from_this()}; }

  Scheduler& scheduler_;
  std::shared_ptr<AudioServices> audio_;
  std::shared_ptr<AppAudioServices> appAudio_;
};

}  // namespace lumewell::recorder
