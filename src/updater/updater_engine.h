#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "runtime/error.h"

namespace lumewell::updater {

// One release of an appcast feed.
struct AppcastItem {
  std::string versionString;         // sparkle:version, compared against the running version
  std::string displayVersionString;  // sparkle:shortVersionString, may be empty
  std::string title;
  std::string fileURL;        // the enclosure, absolute (resolved against the feed)
  int64_t contentLength = 0;  // the enclosure's length; 0 when the feed does not say
  std::string edSignature;    // base64 Ed25519 signature of the whole archive

  // What the user sees: the display version when there is one.
  const std::string& label() const {
    return displayVersionString.empty() ? versionString : displayVersionString;
  }
};

// Which kind of check a cycle was.
enum class UpdateCheck { updates, updatesInBackground, updateInformation };

// Receives the engine's progress, always on the main thread.
class UpdaterDelegate {
 public:
  virtual ~UpdaterDelegate() = default;

  virtual std::optional<std::string> feedURLString() = 0;
  virtual void didFindValidUpdate(const AppcastItem& item) = 0;
  virtual void didNotFindUpdate() = 0;
  virtual void didDownloadUpdate(const AppcastItem& item) = 0;
  // A silently downloaded update will be installed when the application quits. Returning
  // true takes over the block: calling it installs now and relaunches. The engine installs at
  // quit either way, so the answer is informational.
  virtual bool willInstallUpdateOnQuit(const AppcastItem& item,
                                       std::function<void()> immediateInstallBlock) = 0;
  // Returning true postpones installation and relaunch until the block is called.
  [[nodiscard]] virtual bool shouldPostponeRelaunch(const AppcastItem& item,
                                                    std::function<void()> block) = 0;
  virtual void willInstallUpdate(const AppcastItem& item) = 0;
  virtual void willRelaunchApplication() = 0;
  virtual void didAbortWithError(const Error& error) = 0;
  virtual void didFinishUpdateCycle(UpdateCheck check, const OptionalError& error) = 0;
};

// The update engine: reads the delegate's feed, downloads, verifies, installs, relaunches.
// All operations are called on the main thread.
class UpdaterEngine {
 public:
  virtual ~UpdaterEngine() = default;

  // Begins automatic background checks.
  virtual void start() = 0;
  // Re-arms the automatic check schedule (the feed may have changed).
  virtual void resetUpdateCycle() = 0;
  // The user-initiated check: find, download, install and relaunch.
  virtual void checkForUpdates() = 0;
  // Finds the best update and reports it, downloading nothing.
  virtual void checkForUpdateInformation() = 0;
  // Installs a downloaded update that waits for the application to quit. Blocking; called
  // at shutdown. Nothing pending is no error.
  [[nodiscard]] virtual OptionalError installPendingOnQuit() = 0;
};

// Makes the engine for a delegate; the engine holds its delegate weakly.
using UpdaterEngineFactory =
    std::function<std::shared_ptr<UpdaterEngine>(std::weak_ptr<UpdaterDelegate> delegate)>;

}  // namespace lumewell::updater
