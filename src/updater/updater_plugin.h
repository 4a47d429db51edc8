#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "channels/binary_messenger.h"
#include "channels/event_channel.h"
#include "channels/method_channel.h"
#include "runtime/scheduler.h"
#include "updater/updater_engine.h"

namespace lumewell::updater {

// The updater plug-in on "lumewell/updater" and "lumewell/updater/events": feed
// configuration, checks, a status record pushed on every change, and the install guard that
// holds installation and relaunch back while a recording or an upload is active.
// Everything runs on the main thread.
class LumewellUpdaterPlugin final : public StreamHandler,
                                    public UpdaterDelegate,
                                    public std::enable_shared_from_this<LumewellUpdaterPlugin> {
 public:
  // The process-wide instance, created on first use. Its engine comes from the factory set
  // with setEngineFactory (or the appcast engine without relaunch when none was set), made at
  // the first successful "configure".
  static std::shared_ptr<LumewellUpdaterPlugin> shared();
  static void setEngineFactory(UpdaterEngineFactory factory);

  LumewellUpdaterPlugin(UpdaterEngineFactory engineFactory, Scheduler& scheduler);

  void registerChannels(BinaryMessenger& messenger);
  void handleMethodCall(const MethodCall& call, MethodResultPtr result);
  ValueMap statusRecord() const;
  // At shutdown: installs an update that was downloaded and is waiting for the quit.
  [[nodiscard]] OptionalError installPendingOnQuit();

  // Whether a recording is running or paused. While it is, installation and relaunch are
  // held exactly as a lowered guard holds them, whatever asks for them; recorderBecameIdle
  // carries out what was held once the guard allows it too.
  void setRecorderBusy(std::function<bool()> busy) { recorderBusy_ = std::move(busy); }
  void recorderBecameIdle();

  // StreamHandler
  std::optional<MethodError> onListen(const Value& arguments, EventSink sink) override;
  std::optional<MethodError> onCancel(const Value& arguments) override;

  // UpdaterDelegate
  std::optional<std::string> feedURLString() override;
  void didFindValidUpdate(const AppcastItem& item) override;
  void didNotFindUpdate() override;
  void didDownloadUpdate(const AppcastItem& item) override;
  bool willInstallUpdateOnQuit(const AppcastItem& item,
                               std::function<void()> immediateInstallBlock) override;
  bool shouldPostponeRelaunch(const AppcastItem& item, std::function<void()> block) override;
  void willInstallUpdate(const AppcastItem& item) override;
  void willRelaunchApplication() override;
  void didAbortWithError(const Error& error) override;
  void didFinishUpdateCycle(UpdateCheck check, const OptionalError& error) override;

 private:
  void configure(const ValueMap* args, const MethodResultPtr& result);
  void checkForUpdates(const ValueMap* args, const MethodResultPtr& result);
  void setInstallGuard(const ValueMap* args, const MethodResultPtr& result);
  void installDeferredUpdate(const MethodResultPtr& result);
  void ensureController();
  void runDeferredHandlers();
  bool mayInterrupt() const;
  // Sets the status message and publishes the record.
  void announce(std::string message);
  void publishStatus();

  UpdaterEngineFactory engineFactory_;
  Scheduler& scheduler_;
  std::function<bool()> recorderBusy_;

  EventSink eventSink;
  std::shared_ptr<UpdaterEngine> updaterController;
  std::string selectedChannel = "stable";
  std::optional<std::string> feedURL;
  std::optional<std::string> availableVersion;
  std::optional<std::string> downloadedVersion;
  std::optional<std::string> deferredUpdateVersion;
  std::optional<TimePoint> lastCheckAt;
  std::optional<std::string> statusMessage;
  std::optional<std::string> lastErrorMessage;
  bool installAllowed = true;
  std::function<void()> deferredInstallHandler;
  std::function<void()> deferredRelaunchHandler;
};

}  // namespace lumewell::updater
