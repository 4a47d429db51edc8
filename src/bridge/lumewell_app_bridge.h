#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "bridge/default_url_opener.h"
#include "bridge/log_line.h"
#include "channels/binary_messenger.h"
#include "channels/event_channel.h"
#include "channels/method_channel.h"
#include "runtime/scheduler.h"

namespace lumewell::bridge {

inline constexpr const char* kAppChannel = "lumewell/app";
inline constexpr const char* kAppEventChannel = "lumewell/app/events";

// The app bridge plug-in: hands the URLs opened with the application (sign-in callbacks) to
// the Dart side, holding the latest one while nobody listens; opens external URLs; restarts
// the application. Main thread only.
class LumewellAppBridge final : public StreamHandler,
                                public std::enable_shared_from_this<LumewellAppBridge> {
 public:
  // The process-wide instance, created on first use (safe against concurrent first use) on
  // the main scheduler with the desktop's URL opener.
  static std::shared_ptr<LumewellAppBridge> shared();

  explicit LumewellAppBridge(Scheduler& scheduler, UrlOpener openUrl = openUrlWithDefaultHandler,
                             LogSink log = writeLogLine);

  // Opens "lumewell/app" with this instance as its handler and "lumewell/app/events" with
  // this instance as its stream handler.
  void registerChannels(BinaryMessenger& messenger);

  // Every URL that reaches the bridge is an auth callback; no part of it is inspected.
  void handleIncomingUrl(const std::string& url);

  void handleMethodCall(const MethodCall& call, MethodResultPtr result);

  std::optional<MethodError> onListen(const Value& arguments, EventSink sink) override;
  std::optional<MethodError> onCancel(const Value& arguments) override;

  // What "restartApp" runs 0.3 s after answering: start a fresh instance, then quit. The
  // application installs it; without one the call is answered and nothing follows.
  void setRestartHandler(std::function<void()> handler) { restartHandler_ = std::move(handler); }

  // Whether a recording is running or paused. A restart that falls due while it is waits,
  // and recorderBecameIdle carries it out.
  void setRecorderBusy(std::function<bool()> busy) { recorderBusy_ = std::move(busy); }
  void recorderBecameIdle();

  bool hasListener() const { return eventSink_.has_value(); }

 private:
  void openExternalUrl(const Value& arguments, MethodResultPtr result);
  void consumePendingAuthCallback(MethodResultPtr result);
  void restartApp(MethodResultPtr result);
  void restartUnlessRecording();
  static Value authCallbackEvent(const std::string& url);

  Scheduler& scheduler_;
  UrlOpener openUrl_;
  LogSink log_;
  std::function<void()> restartHandler_;
  std::function<bool()> recorderBusy_;
  bool restartHeld_ = false;

  std::optional<EventSink> eventSink_;
  std::optional<std::string> pendingAuthCallbackUrl_;
  std::unique_ptr<Timer> restartTimer_;
};

}  // namespace lumewell::bridge
