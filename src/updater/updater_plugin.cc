#include "updater/updater_plugin.h"

#include <mutex>
#include <utility>

#include "runtime/glib_scheduler.h"
#include "runtime/iso8601.h"
#include "updater/appcast_update_engine.h"
#include "updater/updater_errors.h"
#include "updater/url_policy.h"

namespace lumewell::updater {
namespace {

constexpr const char* kMethodChannel = "lumewell/updater";
constexpr const char* kEventChannel = "lumewell/updater/events";

// The factory setEngineFactory installed, under its lock.
struct ConfiguredFactory {
  std::mutex mutex;
  UpdaterEngineFactory factory;
};

ConfiguredFactory& configured() {
  static ConfiguredFactory configured;
  return configured;
}

}  // namespace

void LumewellUpdaterPlugin::setEngineFactory(UpdaterEngineFactory factory) {
  std::lock_guard lock(configured().mutex);
  configured().factory = std::move(factory);
}

std::shared_ptr<LumewellUpdaterPlugin> LumewellUpdaterPlugin::shared() {
  // The factory is looked up when the engine is made, so the app may install it before or
  // after the instance exists (but before the first "configure").
  static const std::shared_ptr<LumewellUpdaterPlugin> instance =
      std::make_shared<LumewellUpdaterPlugin>(
          [](std::weak_ptr<UpdaterDelegate> delegate) -> std::shared_ptr<UpdaterEngine> {
            std::unique_lock lock(configured().mutex);
            const UpdaterEngineFactory factory = configured().factory;
            lock.unlock();
            if (factory) return factory(std::move(delegate));
            return std::make_shared<AppcastUpdateEngine>(std::move(delegate), mainScheduler(),
                                                         AppcastEngineConfig::fromBuild());
          },
          mainScheduler());
  return instance;
}

LumewellUpdaterPlugin::LumewellUpdaterPlugin(UpdaterEngineFactory engineFactory,
                                             Scheduler& scheduler)
    : engineFactory_(std::move(engineFactory)), scheduler_(scheduler) {}

void LumewellUpdaterPlugin::registerChannels(BinaryMessenger& messenger) {
  openPluginChannels(messenger, kMethodChannel, kEventChannel, shared_from_this());
}

void LumewellUpdaterPlugin::handleMethodCall(const MethodCall& call, MethodResultPtr result) {
  const ValueMap* args = call.arguments.asMap();
  if (call.method == "configure") {
    configure(args, result);
  } else if (call.method == "getStatus") {
    result->success(Value(statusRecord()));
  } else if (call.method == "checkForUpdates") {
    checkForUpdates(args, result);
  } else if (call.method == "setInstallGuard") {
    setInstallGuard(args, result);
  } else if (call.method == "installDeferredUpdate") {
    installDeferredUpdate(result);
  } else {
    result->notImplemented();
  }
}

ValueMap LumewellUpdaterPlugin::statusRecord() const {
  ValueMap record;
  record.set("channel", selectedChannel);
  if (availableVersion) record.set("availableVersion", *availableVersion);
  if (downloadedVersion) record.set("downloadedVersion", *downloadedVersion);
  if (deferredUpdateVersion) record.set("deferredUpdateVersion", *deferredUpdateVersion);
  if (lastCheckAt) record.set("lastCheckAt", iso8601Seconds(*lastCheckAt));
  if (statusMessage) record.set("message", *statusMessage);
  if (lastErrorMessage) record.set("error", *lastErrorMessage);
  return record;
}

OptionalError LumewellUpdaterPlugin::installPendingOnQuit() {
  if (!updaterController) return std::nullopt;
  return updaterController->installPendingOnQuit();
}

void LumewellUpdaterPlugin::configure(const ValueMap* args, const MethodResultPtr& result) {
  const std::string* channel = mapString(args, "channel");
  const std::string* feedUrl = mapString(args, "feedUrl");
  if (channel == nullptr || feedUrl == nullptr || urlScheme(*feedUrl).empty()) {
    result->error(errors::kBadArgs, errors::kConfigureArgsMissing);
    return;
  }
  selectedChannel = *channel;
  feedURL = *feedUrl;
  lastErrorMessage.reset();
  statusMessage = "Using the " + selectedChannel + " update channel.";
  ensureController();
  if (updaterController) updaterController->resetUpdateCycle();
  publishStatus();
  result->success(Value(statusRecord()));
}

void LumewellUpdaterPlugin::ensureController() {
  if (updaterController) return;
  updaterController = engineFactory_(weak_from_this());
  if (updaterController) updaterController->start();
}

void LumewellUpdaterPlugin::checkForUpdates(const ValueMap* args, const MethodResultPtr& result) {
  if (!updaterController) return result->error(errors::kNotConfigured, errors::kNotConfiguredText);
  const bool* probeArg = mapBool(args, "probeOnly");
  const bool probe = probeArg != nullptr && *probeArg;
  lastCheckAt = scheduler_.now();
  lastErrorMessage.reset();
  announce(probe ? "Checking for updates without interrupting the current session."
                 : "Checking for updates.");
  // Hold the engine: a delegate call made from inside the check must not outlive it.
  auto controller = updaterController;
  probe ? controller->checkForUpdateInformation() : controller->checkForUpdates();
  result->success(Value(statusRecord()));
}

void LumewellUpdaterPlugin::setInstallGuard(const ValueMap* args, const MethodResultPtr& result) {
  const bool* allowed = mapBool(args, "installAllowed");
  installAllowed = allowed == nullptr || *allowed;
  if (installAllowed) {
    runDeferredHandlers();
  } else if (deferredUpdateVersion) {
    statusMessage =
        "Update installation is deferred until the active session is safe to interrupt.";
  }
  publishStatus();
  result->success(Value(statusRecord()));
}

void LumewellUpdaterPlugin::installDeferredUpdate(const MethodResultPtr& result) {
  if (deferredInstallHandler || deferredRelaunchHandler) {
    installAllowed = true;
    runDeferredHandlers();
  }
  result->success(Value(statusRecord()));
}

bool LumewellUpdaterPlugin::mayInterrupt() const {
  return installAllowed && !(recorderBusy_ && recorderBusy_());
}

void LumewellUpdaterPlugin::recorderBecameIdle() { runDeferredHandlers(); }

void LumewellUpdaterPlugin::runDeferredHandlers() {
  if (!mayInterrupt()) return;
  std::function<void()> handler;
  if (deferredRelaunchHandler) {
    handler = std::exchange(deferredRelaunchHandler, nullptr);
    deferredUpdateVersion.reset();
  } else if (deferredInstallHandler) {
    handler = std::exchange(deferredInstallHandler, nullptr);
  } else {
    return;
  }
  announce("Installing the downloaded update.");
  handler();
}

void LumewellUpdaterPlugin::announce(std::string message) {
  statusMessage = std::move(message);
  publishStatus();
}

void LumewellUpdaterPlugin::publishStatus() {
  if (eventSink) eventSink(Value(statusRecord()));
}

std::optional<MethodError> LumewellUpdaterPlugin::onListen(const Value&, EventSink sink) {
  eventSink = std::move(sink);
  publishStatus();
  return std::nullopt;
}

std::optional<MethodError> LumewellUpdaterPlugin::onCancel(const Value&) {
  eventSink = nullptr;
  return std::nullopt;
}

std::optional<std::string> LumewellUpdaterPlugin::feedURLString() { return feedURL; }

void LumewellUpdaterPlugin::didFindValidUpdate(const AppcastItem& item) {
  availableVersion = item.label();
  lastErrorMessage.reset();
  announce("Version " + item.label() + " is available.");
}

void LumewellUpdaterPlugin::didNotFindUpdate() {
  availableVersion.reset();
  lastErrorMessage.reset();
  announce(errors::kUpToDate);
}

void LumewellUpdaterPlugin::didDownloadUpdate(const AppcastItem& item) {
  downloadedVersion = item.label();
  announce("Version " + item.label() + " was downloaded.");
}

bool LumewellUpdaterPlugin::willInstallUpdateOnQuit(const AppcastItem& item,
                                                    std::function<void()> immediateInstallBlock) {
  deferredInstallHandler = std::move(immediateInstallBlock);
  deferredUpdateVersion = item.label();
  if (mayInterrupt()) {
    runDeferredHandlers();
  } else {
    announce("Update " + item.label() +
             " is downloaded and queued for install when the session is idle.");
  }
  return true;
}

bool LumewellUpdaterPlugin::shouldPostponeRelaunch(const AppcastItem& item,
                                                   std::function<void()> block) {
  if (mayInterrupt()) return false;
  deferredRelaunchHandler = std::move(block);
  deferredUpdateVersion = item.label();
  announce("Update relaunch is deferred until recording and uploads are idle.");
  return true;
}

void LumewellUpdaterPlugin::willInstallUpdate(const AppcastItem& item) {
  deferredUpdateVersion = item.label();
  announce("Installing update " + item.label() + ".");
}

void LumewellUpdaterPlugin::willRelaunchApplication() {
  availableVersion.reset();
  downloadedVersion.reset();
  deferredUpdateVersion.reset();
  announce("Relaunching into the updated Lumewell Recorder build.");
}

void LumewellUpdaterPlugin::didAbortWithError(const Error& error) {
  // A failed install leaves nothing to wait for; an update still held keeps its name.
  if (!deferredInstallHandler && !deferredRelaunchHandler) deferredUpdateVersion.reset();
  lastErrorMessage = error.localizedDescription;
  announce(errors::kCheckFailed);
}

void LumewellUpdaterPlugin::didFinishUpdateCycle(UpdateCheck, const OptionalError& error) {
  if (error) {
    lastErrorMessage = error->localizedDescription;
    statusMessage = errors::kCheckFailed;
  } else if (!availableVersion) {
    statusMessage = errors::kUpToDate;
    lastErrorMessage.reset();
  }
  publishStatus();
}

}  // namespace lumewell::updater
