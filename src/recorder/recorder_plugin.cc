#include "recorder/recorder_plugin.h"

#include <functional>
#include <mutex>

namespace lumewell::recorder {
namespace {

struct SharedInstance {
  std::mutex mutex;
  LumewellNativeRecorderPlugin::Factory factory;
  std::shared_ptr<LumewellNativeRecorderPlugin> instance;
};

SharedInstance& sharedInstance() {
  static SharedInstance shared;
  return shared;
}

}  // namespace

LumewellNativeRecorderPlugin::LumewellNativeRecorderPlugin(
    Scheduler& scheduler, std::shared_ptr<AudioServices> audio,
    std::shared_ptr<AppAudioServices> appAudio)
    : scheduler_(scheduler),
      audio_(std::move(audio)),
      preflight_(std::make_shared<Preflight>(scheduler, audio_, appAudio)),
      sealer_(std::make_shared<SegmentSealer>(
          scheduler, audio_, std::bind_front(&LumewellNativeRecorderPlugin::sendEvent, this),
          [this](ValueMap event) {
            // Nobody listening yet: the first listener gets it.
            if (eventSink_ && *eventSink_) return sendEvent(std::move(event));
            heldRecoveredEvents_.push_back(std::move(event));
          })),
      chain_(std::make_shared<SegmentChain>(
          scheduler, audio_, std::move(appAudio), *sealer_,
          SegmentChain::Hooks{std::bind_front(&LumewellNativeRecorderPlugin::sendEvent, this),
                              [this] { endSegment(std::nullopt); },
                              [this](Error failure) { endSegment(std::move(failure)); },
                              [this] {
                                return runtimeState_ == RuntimeState::recording &&
                                       !sessionOps_.segmentEndPending();
                              }})) {}

LumewellNativeRecorderPlugin::~LumewellNativeRecorderPlugin() = default;

std::shared_ptr<LumewellNativeRecorderPlugin> LumewellNativeRecorderPlugin::shared() {
  auto& shared = sharedInstance();
  std::lock_guard lock(shared.mutex);
  if (!shared.instance && shared.factory) shared.instance = shared.factory();
  return shared.instance;
}

bool LumewellNativeRecorderPlugin::configureShared(Factory factory) {
  auto& shared = sharedInstance();
  std::lock_guard lock(shared.mutex);
  if (shared.instance) return false;
  shared.factory = std::move(factory);
  return true;
}

void LumewellNativeRecorderPlugin::registerChannels(BinaryMessenger& messenger) {
  openPluginChannels(messenger, kMethodChannel, kEventChannel, shared_from_this());
  sealer_->recoverAllInBackground();
}

void LumewellNativeRecorderPlugin::handleMethodCall(const MethodCall& call,
                                                    MethodResultPtr result) {
  const std::string& method = call.method;
  if (method == "runPreflight") {
    preflight_->run(call.arguments, std::move(result));
  } else if (method == "listAppAudioSources") {
    preflight_->listAppAudioSources(std::move(result));
  } else if (method == "getStorageStatus") {
    preflight_->storageStatus(result);
  } else if (method == "startRecording") {
    startRecording(call.arguments, std::move(result));
  } else if (method == "pauseRecording") {
    pauseRecording(std::move(result));
  } else if (method == "resumeRecording") {
    resumeRecording(std::move(result));
  } else if (method == "stopRecording") {
    stopRecording(std::move(result));
  } else if (method == "assembleRecording") {
    assembleRecording(call.arguments, std::move(result));
  } else {
    result->notImplemented();
  }
}

std::optional<MethodError> LumewellNativeRecorderPlugin::onListen(const Value&, EventSink sink) {
  eventSink_ = std::move(sink);
  for (ValueMap& held : std::exchange(heldRecoveredEvents_, {})) sendEvent(std::move(held));
  return std::nullopt;
}

std::optional<MethodError> LumewellNativeRecorderPlugin::onCancel(const Value&) {
  eventSink_.reset();
  return std::nullopt;
}

void LumewellNativeRecorderPlugin::sendEvent(ValueMap event) {
  // Without a listener the event is dropped, not kept for a later listen.
  if (eventSink_ && *eventSink_) (*eventSink_)(Value(std::move(event)));
}

}  // namespace lumewell::recorder
