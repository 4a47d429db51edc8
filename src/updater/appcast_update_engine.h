#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "runtime/scheduler.h"
#include "runtime/serial_executor.h"
#include "updater/installation.h"
#include "updater/updater_engine.h"

namespace lumewell::updater {

struct AppcastEngineConfig {
  std::string runningVersion;
  std::string publicKeyBase64;  // base64 of the raw 32-byte Ed25519 key; empty refuses all
  // Empty: the folder the running executable is installed in.
  std::string installationFolder;
  // Empty: <user cache folder>/app.lumewell.Recorder/updates.
  std::string downloadFolder;
  // Starts the installed executable and ends this process. Empty: no relaunch (the update
  // takes effect at the next start).
  std::function<void(const std::string& executable)> relaunch;
  Duration firstCheckDelay = std::chrono::hours(1);
  Duration checkInterval = std::chrono::hours(24);
  int64_t maxFeedBytes = int64_t{2} << 20;
  int64_t maxArchiveBytes = int64_t{1} << 30;
  std::chrono::seconds connectTimeout{30};
  std::chrono::seconds feedTimeout{60};
  std::chrono::seconds downloadTimeout{2 * 60 * 60};

  // This build's version and signing key.
  static AppcastEngineConfig fromBuild();
};

// The update engine over an appcast feed: libcurl fetches, Ed25519-verified downloads into
// the user cache folder, an atomic folder swap, relaunch of the installed executable. Only
// an application bundle the user can write is updated (checkUpdatableFolder), and only to
// the version the signed archive itself names. The delegate's shouldPostponeRelaunch is
// asked before the unpack, before the swap and before the relaunch; each may hold the next
// step until its block is called.
// Operations are called on the main thread; network and file work runs on the engine's own
// worker thread and every delegate call is made on the main thread. Destroying the engine
// cancels transfers under way.
class AppcastUpdateEngine final : public UpdaterEngine,
                                  public std::enable_shared_from_this<AppcastUpdateEngine> {
 public:
  AppcastUpdateEngine(std::weak_ptr<UpdaterDelegate> delegate, Scheduler& scheduler,
                      AppcastEngineConfig config);
  ~AppcastUpdateEngine() override;

  void start() override;
  void resetUpdateCycle() override;
  void checkForUpdates() override;
  void checkForUpdateInformation() override;
  [[nodiscard]] OptionalError installPendingOnQuit() override;

  // A downloaded, verified update waiting to be installed.
  struct Downloaded {
    AppcastItem item;
    std::string archivePath;
  };

 private:
  void beginCheck(UpdateCheck check);
  void onFeedChecked(UpdateCheck check, Result<std::optional<AppcastItem>> found);
  void onDownloaded(UpdateCheck check, Result<Downloaded> downloaded);
  void startImmediateInstall();
  // Whether the delegate holds step back (until it calls its block); no delegate holds it.
  bool postponed(const AppcastItem& item, void (AppcastUpdateEngine::*step)());
  void askToRelaunch(const AppcastItem& item);
  void installNow();
  void onStaged(const AppcastItem& item, Result<StagedUpdate> staged);
  void swapWhenAllowed();
  void relaunchWhenAllowed();
  void fail(UpdateCheck check, const Error& error);
  void armCheckTimer();
  std::function<void()> onceOnMain(std::function<void(AppcastUpdateEngine&)> fn);
  // What work on the worker thread holds the engine by.
  MainThreadRef<AppcastUpdateEngine> mainRef() { return {scheduler_, weak_from_this()}; }

  std::weak_ptr<UpdaterDelegate> delegate_;
  Scheduler& scheduler_;
  std::shared_ptr<const AppcastEngineConfig> config_;
  std::shared_ptr<std::atomic<bool>> cancelled_;
  bool started_ = false;
  Duration startedAt_{0};
  std::optional<Duration> lastAutomaticCheck_;
  std::unique_ptr<Timer> checkTimer_;
  // A download or an install is under way, or an install waits for its relaunch release.
  bool busy_ = false;
  std::optional<Downloaded> pending_;
  // Unpacked beside the installation, waiting to be swapped in.
  struct Staged {
    AppcastItem item;
    StagedUpdate update;
  };
  std::optional<Staged> staged_;
  // Swapped in, waiting for the relaunch.
  struct Installed {
    AppcastItem item;
    std::string executable;
  };
  std::optional<Installed> installed_;
  SerialExecutor worker_{"lumewell-update"};  // last: joined before the rest goes
};

}  // namespace lumewell::updater
