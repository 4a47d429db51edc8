#include "bridge/lumewell_app_bridge.h"

#include <utility>

#include "bridge/bridge_errors.h"
#include "bridge/url_check.h"
#include "runtime/glib_scheduler.h"

namespace lumewell::bridge {
namespace {

constexpr auto kRestartDelay = std::chrono::milliseconds(300);

}  // namespace

std::shared_ptr<LumewellAppBridge> LumewellAppBridge::shared() {
  // A function-local static is initialised exactly once, also under concurrent first use.
  static const std::shared_ptr<LumewellAppBridge> instance =
      std::make_shared<LumewellAppBridge>(mainScheduler());
  return instance;
}

LumewellAppBridge::LumewellAppBridge(Scheduler& scheduler, UrlOpener openUrl, LogSink log)
    : scheduler_(scheduler), openUrl_(std::move(openUrl)), log_(std::move(log)) {}

void LumewellAppBridge::registerChannels(BinaryMessenger& messenger) {
  openPluginChannels(messenger, kAppChannel, kAppEventChannel, shared_from_this());
}

Value LumewellAppBridge::authCallbackEvent(const std::string& url) {
  return Value(ValueMap{{"type", "auth_callback"}, {"url", url}});
}

void LumewellAppBridge::handleIncomingUrl(const std::string& url) {
  log_("Lumewell Recorder app bridge received url: " + url);
  Value event = authCallbackEvent(url);
  if (eventSink_) {
    log_("Lumewell Recorder app bridge delivering auth callback immediately");
    (*eventSink_)(event);
    pendingAuthCallbackUrl_.reset();
  } else {
    log_("Lumewell Recorder app bridge storing pending auth callback");
    pendingAuthCallbackUrl_ = url;
  }
}

std::optional<MethodError> LumewellAppBridge::onListen(const Value&, EventSink sink) {
  log_("Lumewell Recorder app bridge event stream attached");
  eventSink_ = std::move(sink);
  if (pendingAuthCallbackUrl_) {
    log_("Lumewell Recorder app bridge replaying pending auth callback");
    (*eventSink_)(authCallbackEvent(*std::exchange(pendingAuthCallbackUrl_, std::nullopt)));
  }
  return std::nullopt;
}

std::optional<MethodError> LumewellAppBridge::onCancel(const Value&) {
  log_("Lumewell Recorder app bridge event stream cancelled");
  eventSink_.reset();
  return std::nullopt;
}

void LumewellAppBridge::handleMethodCall(const MethodCall& call, MethodResultPtr result) {
  if (call.method == "openExternalUrl") {
    openExternalUrl(call.arguments, std::move(result));
  } else if (call.method == "consumePendingAuthCallback") {
    consumePendingAuthCallback(std::move(result));
  } else if (call.method == "restartApp") {
    restartApp(std::move(result));
  } else {
    result->notImplemented();
  }
}

void LumewellAppBridge::openExternalUrl(const Value& arguments, MethodResultPtr result) {
  const std::string* url = mapString(arguments.asMap(), "url");
  if (url == nullptr || !isAbsoluteUrl(*url)) {
    result->error(errors::kBadArgs, errors::kBadUrl);
    return;
  }
  log_("Lumewell Recorder opening external url: " + *url);
  // The completion needs no plug-in state: it holds only the result and the URL.
  openUrl_(*url, [result, url = *url](bool opened) {
    if (opened) {
      result->success();
    } else {
      result->error(errors::kOpenFailed, errors::kOpenFailedText, Value(url));
    }
  });
}

void LumewellAppBridge::consumePendingAuthCallback(MethodResultPtr result) {
  log_("Lumewell Recorder consumePendingAuthCallback called");
  auto taken = std::exchange(pendingAuthCallbackUrl_, std::nullopt);
  result->success(taken ? Value(*taken) : Value());
}

void LumewellAppBridge::restartApp(MethodResultPtr result) {
  result->success();
  // One restart at a time: a second request while one is due or held changes nothing.
  if (restartHeld_ || (restartTimer_ && restartTimer_->isValid())) return;
  std::weak_ptr<LumewellAppBridge> weak = weak_from_this();
  restartTimer_ = scheduler_.oneShot(kRestartDelay, [weak] {
    if (auto self = weak.lock()) self->restartUnlessRecording();
  });
}

void LumewellAppBridge::restartUnlessRecording() {
  if (recorderBusy_ && recorderBusy_()) {
    if (!restartHeld_)
      log_("Lumewell Recorder app bridge holding the restart until the recording ends");
    restartHeld_ = true;
    return;
  }
  restartHeld_ = false;
  if (!restartHandler_) return;
  auto restart = restartHandler_;  // it may replace itself while it runs
  restart();
}

void LumewellAppBridge::recorderBecameIdle() {
  if (!restartHeld_ || (recorderBusy_ && recorderBusy_())) return;
  log_("Lumewell Recorder app bridge restarting now that the recording has ended");
  restartUnlessRecording();
}

}  // namespace lumewell::bridge
