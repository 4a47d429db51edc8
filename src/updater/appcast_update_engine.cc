#include "updater/appcast_update_engine.h"

#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <filesystem>
#include <future>
#include <vector>

#include "runtime/files.h"
#include "updater/appcast.h"
#include "updater/http_fetch.h"
#include "updater/installation.h"
#include "updater/signature.h"
#include "updater/version_compare.h"

namespace lumewell::updater {
namespace {

Error engineError(int code, const std::string& text) { return Error{"updater", code, text}; }

// The downloaded archive read whole into memory: the bytes that are verified are the bytes
// that are unpacked, whatever happens to the file meanwhile.
Result<std::vector<uint8_t>> readArchive(const std::string& path, int64_t maxBytes) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return posixError(errno, "Cannot read the downloaded update " + path);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 || st.st_size > maxBytes) {
    ::close(fd);
    return engineError(20, "The downloaded update " + path + " is missing or has a wrong size.");
  }
  std::vector<uint8_t> bytes(static_cast<size_t>(st.st_size) + 1);
  size_t used = 0;
  int readErrno = 0;
  while (used < bytes.size()) {
    const ssize_t n = ::read(fd, bytes.data() + used, bytes.size() - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) readErrno = errno;
    if (n <= 0) break;
    used += static_cast<size_t>(n);
  }
  ::close(fd);
  if (readErrno != 0) return posixError(readErrno, "Cannot read the downloaded update " + path);
  if (used != static_cast<size_t>(st.st_size)) {
    return engineError(20, "The downloaded update " + path + " changed while it was read.");
  }
  bytes.resize(used);
  return bytes;
}

FetchOptions fetchOptions(const AppcastEngineConfig& config,
                          const std::shared_ptr<std::atomic<bool>>& cancelled, int64_t maxBytes,
                          std::chrono::seconds totalTimeout) {
  FetchOptions options;
  options.maxBytes = maxBytes;
  options.connectTimeout = config.connectTimeout;
  options.totalTimeout = totalTimeout;
  options.userAgent = "Lumewell Recorder/" + config.runningVersion + " (Linux)";
  options.cancelled = cancelled;
  return options;
}

Result<std::optional<AppcastItem>> findUpdate(const AppcastEngineConfig& config,
                                              const std::shared_ptr<std::atomic<bool>>& cancelled,
                                              const std::string& feedUrl) {
  std::string body;
  const auto options = fetchOptions(config, cancelled, config.maxFeedBytes, config.feedTimeout);
  auto err = fetch(feedUrl, options, "update feed", [&](const char* data, size_t size) {
    body.append(data, size);
    return true;
  });
  if (err) return *err;
  auto items = parseAppcast(body, feedUrl);
  if (!items) return items.error();
  return bestUpdate(*items, config.runningVersion);
}

OptionalError refuseDowngrade(const AppcastEngineConfig& config, const AppcastItem& item) {
  if (compareVersions(item.versionString, config.runningVersion) > 0) return std::nullopt;
  return engineError(10, "Version " + item.label() + " is not newer than the running version " +
                             config.runningVersion + "; a downgrade is never installed.");
}

std::string downloadFolder(const AppcastEngineConfig& config) {
  if (!config.downloadFolder.empty()) return config.downloadFolder;
  return std::string(g_get_user_cache_dir()) + "/" + kApplicationId + "/updates";
}

// The file name of a version's archive: only characters that are safe in a path.
std::string archiveName(const AppcastItem& item) {
  std::string name = "lumewell-recorder-";
  for (char c : item.versionString) {
    const bool safe = std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_';
    name += safe ? c : '_';
  }
  return name + ".archive";
}

Result<std::string> resolvedInstallationFolder(const AppcastEngineConfig& config) {
  if (!config.installationFolder.empty()) return config.installationFolder;
  return currentInstallationFolder();
}

Result<AppcastUpdateEngine::Downloaded> downloadUpdate(
    const AppcastEngineConfig& config, const std::shared_ptr<std::atomic<bool>>& cancelled,
    const AppcastItem& item) {
  if (auto refused = refuseDowngrade(config, item)) return *refused;
  if (item.contentLength > config.maxArchiveBytes) {
    return engineError(11, "The update is larger than the allowed " +
                               std::to_string(config.maxArchiveBytes >> 20) + " MiB.");
  }
  // Fail before downloading anything that could never be verified.
  if (auto unverifiable = checkSignatureInputs(config.publicKeyBase64, item.edSignature)) {
    return *unverifiable;
  }
  // Nor anything that could never be installed.
  auto installation = resolvedInstallationFolder(config);
  if (!installation) return installation.error();
  if (auto refused = checkUpdatableFolder(*installation)) return *refused;
  const std::string folder = downloadFolder(config);
  if (auto err = createDirectories(folder)) return *err;
  const std::string finalPath = folder + "/" + archiveName(item);
  const std::string partialPath = finalPath + ".partial";
  int fd = ::open(partialPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return posixError(errno, "Cannot store the update in " + folder);

  const auto options = fetchOptions(
      config, cancelled, item.contentLength > 0 ? item.contentLength : config.maxArchiveBytes,
      config.downloadTimeout);
  int64_t received = 0;
  int writeErrno = 0;
  auto err = fetch(item.fileURL, options, "update download", [&](const char* data, size_t size) {
    while (size > 0) {
      const ssize_t n = ::write(fd, data, size);
      if (n < 0) {
        if (errno == EINTR) continue;
        writeErrno = errno;
        return false;
      }
      data += n;
      size -= static_cast<size_t>(n);
      received += n;
    }
    return true;
  });
  const bool synced = !err && ::fsync(fd) == 0;
  ::close(fd);
  auto discard = [&](Error e) -> Result<AppcastUpdateEngine::Downloaded> {
    ::unlink(partialPath.c_str());
    return e;
  };
  if (err)
    return discard(writeErrno != 0 ? posixError(writeErrno, "Cannot store the update") : *err);
  if (!synced) return discard(posixError(errno, "Cannot store the update"));
  if (item.contentLength > 0 && received != item.contentLength) {
    return discard(
        engineError(12, "The update download was truncated: " + std::to_string(received) + " of " +
                            std::to_string(item.contentLength) + " bytes arrived."));
  }
  auto bytes = readArchive(partialPath, config.maxArchiveBytes);
  if (!bytes) return discard(bytes.error());
  if (auto bad = verifyEd25519(config.publicKeyBase64, item.edSignature, *bytes)) {
    return discard(*bad);
  }
  if (::rename(partialPath.c_str(), finalPath.c_str()) != 0) {
    return discard(posixError(errno, "Cannot store the update"));
  }
  return AppcastUpdateEngine::Downloaded{item, finalPath};
}

// Verifies the archive again from the very bytes that are unpacked, unpacks it beside the
// installation and checks the version it brings: the one the feed announced, newer than
// this one. The feed is not signed; the version file inside the archive is.
Result<StagedUpdate> stageUpdate(const AppcastEngineConfig& config,
                                 const AppcastUpdateEngine::Downloaded& update) {
  struct RemoveArchive {
    std::string path;
    ~RemoveArchive() { ::unlink(path.c_str()); }
  } removeArchive{update.archivePath};
  if (auto refused = refuseDowngrade(config, update.item)) return *refused;
  auto folder = resolvedInstallationFolder(config);
  if (!folder) return folder.error();
  auto bytes = readArchive(update.archivePath, config.maxArchiveBytes);
  if (!bytes) return bytes.error();
  if (auto bad = verifyEd25519(config.publicKeyBase64, update.item.edSignature, *bytes)) {
    return *bad;
  }
  auto staged = stageArchive(*bytes, *folder);
  if (!staged) return staged.error();
  const std::string& version = staged->version;
  if (version != update.item.versionString) {
    discardStaged(*staged);
    return engineError(13, "The update archive holds version " + version + ", not the version " +
                               update.item.versionString +
                               " the feed announced; it was not installed.");
  }
  if (compareVersions(version, config.runningVersion) <= 0) {
    discardStaged(*staged);
    return engineError(10, "The update archive holds version " + version +
                               ", which is not newer than the running version " +
                               config.runningVersion + "; a downgrade is never installed.");
  }
  return staged;
}

// Swaps a staged update into the installation; returns the installed executable.
Result<std::string> swapIn(const AppcastEngineConfig& config, const StagedUpdate& staged) {
  auto folder = resolvedInstallationFolder(config);
  if (!folder) {
    discardStaged(staged);
    return folder.error();
  }
  return swapInStaged(staged, *folder);
}

OptionalError errorOf(const Result<std::string>& installed) {
  return installed ? OptionalError() : OptionalError(installed.error());
}

}  // namespace

AppcastEngineConfig AppcastEngineConfig::fromBuild() {
  AppcastEngineConfig config;
  config.runningVersion = LUMEWELL_VERSION;
  config.publicKeyBase64 = LUMEWELL_UPDATE_PUBLIC_KEY;
  return config;
}

AppcastUpdateEngine::AppcastUpdateEngine(std::weak_ptr<UpdaterDelegate> delegate,
                                         Scheduler& scheduler, AppcastEngineConfig config)
    : delegate_(std::move(delegate)),
      scheduler_(scheduler),
      config_(std::make_shared<const AppcastEngineConfig>(std::move(config))),
      cancelled_(std::make_shared<std::atomic<bool>>(false)) {
  ensureCurlInitialized();
}

AppcastUpdateEngine::~AppcastUpdateEngine() {
  // Transfers stop at their next progress check; the worker then drains and joins.
  cancelled_->store(true);
}

std::function<void()> AppcastUpdateEngine::onceOnMain(
    std::function<void(AppcastUpdateEngine&)> fn) {
  auto used = std::make_shared<bool>(false);
  return [main = mainRef(), used, fn = std::move(fn)] {
    if (*used) return;
    *used = true;
    // Work continues from the main loop, not from inside the delegate that called the block.
    main.post(fn);
  };
}

void AppcastUpdateEngine::start() {
  if (started_) return;
  started_ = true;
  startedAt_ = scheduler_.monotonicNow();
  // This version runs: what an earlier update left beside the installation can go.
  worker_.post([config = config_] {
    auto folder = resolvedInstallationFolder(*config);
    if (folder && !checkUpdatableFolder(*folder)) removeLeftovers(*folder);
  });
  armCheckTimer();
}

void AppcastUpdateEngine::resetUpdateCycle() {
  if (started_) armCheckTimer();
}

void AppcastUpdateEngine::armCheckTimer() {
  const Duration due = lastAutomaticCheck_ ? *lastAutomaticCheck_ + config_->checkInterval
                                           : startedAt_ + config_->firstCheckDelay;
  const Duration delay = std::max(Duration(0), due - scheduler_.monotonicNow());
  checkTimer_ = scheduler_.oneShot(delay, [this] {
    lastAutomaticCheck_ = scheduler_.monotonicNow();
    armCheckTimer();
    beginCheck(UpdateCheck::updatesInBackground);
  });
}

void AppcastUpdateEngine::checkForUpdates() { beginCheck(UpdateCheck::updates); }

void AppcastUpdateEngine::checkForUpdateInformation() {
  beginCheck(UpdateCheck::updateInformation);
}

void AppcastUpdateEngine::beginCheck(UpdateCheck check) {
  auto delegate = delegate_.lock();
  if (!delegate) return;
  const bool installs = check != UpdateCheck::updateInformation;
  if (installs && busy_) {
    if (check == UpdateCheck::updatesInBackground) return;  // the next interval tries again
    return fail(check, engineError(1, "An update is already being downloaded or installed."));
  }
  auto feed = delegate->feedURLString();
  if (!feed || feed->empty()) return fail(check, engineError(2, "No update feed is configured."));
  if (installs) busy_ = true;
  worker_.post([config = config_, cancelled = cancelled_, feed = *feed, check, main = mainRef()] {
    auto found = findUpdate(*config, cancelled, feed);
    main.post([check, found = std::move(found)](AppcastUpdateEngine& engine) mutable {
      engine.onFeedChecked(check, std::move(found));
    });
  });
}

void AppcastUpdateEngine::onFeedChecked(UpdateCheck check,
                                        Result<std::optional<AppcastItem>> found) {
  if (!found) return fail(check, found.error());
  auto delegate = delegate_.lock();
  if (!delegate) return;
  if (!found->has_value()) {
    if (check != UpdateCheck::updateInformation) busy_ = false;
    delegate->didNotFindUpdate();
    delegate->didFinishUpdateCycle(check, std::nullopt);
    return;
  }
  const AppcastItem item = **found;
  delegate->didFindValidUpdate(item);
  if (check == UpdateCheck::updateInformation) {
    delegate->didFinishUpdateCycle(check, std::nullopt);
    return;
  }
  // Already downloaded and verified: go on from there.
  if (pending_ && pending_->item.versionString == item.versionString &&
      std::filesystem::exists(pending_->archivePath)) {
    onDownloaded(check, *pending_);
    return;
  }
  worker_.post([config = config_, cancelled = cancelled_, item, check, main = mainRef()] {
    auto downloaded = downloadUpdate(*config, cancelled, item);
    main.post([check, downloaded = std::move(downloaded)](AppcastUpdateEngine& engine) mutable {
      engine.onDownloaded(check, std::move(downloaded));
    });
  });
}

void AppcastUpdateEngine::onDownloaded(UpdateCheck check, Result<Downloaded> downloaded) {
  if (!downloaded) return fail(check, downloaded.error());
  if (pending_ && pending_->archivePath != downloaded->archivePath) {
    ::unlink(pending_->archivePath.c_str());
  }
  pending_ = *downloaded;
  const AppcastItem item = downloaded->item;
  auto delegate = delegate_.lock();
  if (!delegate) return;
  delegate->didDownloadUpdate(item);
  if (check == UpdateCheck::updates) return askToRelaunch(item);
  // A silent download waits for the quit unless the delegate calls the block earlier.
  busy_ = false;
  delegate->willInstallUpdateOnQuit(
      item, onceOnMain([](AppcastUpdateEngine& self) { self.startImmediateInstall(); }));
  delegate->didFinishUpdateCycle(check, std::nullopt);
}

void AppcastUpdateEngine::startImmediateInstall() {
  if (!pending_ || busy_) return;
  busy_ = true;
  askToRelaunch(pending_->item);
}

bool AppcastUpdateEngine::postponed(const AppcastItem& item, void (AppcastUpdateEngine::*step)()) {
  auto delegate = delegate_.lock();
  return !delegate ||
         delegate->shouldPostponeRelaunch(item, onceOnMain([step](auto& self) { (self.*step)(); }));
}

void AppcastUpdateEngine::askToRelaunch(const AppcastItem& item) {
  if (!postponed(item, &AppcastUpdateEngine::installNow)) installNow();
}

void AppcastUpdateEngine::installNow() {
  if (!pending_) {
    // Installed on quit (or replaced) while the relaunch was held.
    busy_ = false;
    return;
  }
  Downloaded update = std::move(*pending_);
  pending_.reset();
  if (auto delegate = delegate_.lock()) delegate->willInstallUpdate(update.item);
  worker_.post([config = config_, update, main = mainRef()] {
    auto staged = stageUpdate(*config, update);
    main.post([item = update.item,
               staged](AppcastUpdateEngine& engine) { engine.onStaged(item, staged); },
              [staged] {
                if (staged) discardStaged(*staged);
              });
  });
}

void AppcastUpdateEngine::onStaged(const AppcastItem& item, Result<StagedUpdate> staged) {
  if (!staged) return fail(UpdateCheck::updates, staged.error());
  staged_ = Staged{item, *staged};
  swapWhenAllowed();
}

// The guard may have been lowered (or a recording begun) while the archive was unpacked:
// the delegate is asked again right before the swap, and again right before the relaunch.
void AppcastUpdateEngine::swapWhenAllowed() {
  if (!staged_ || postponed(staged_->item, &AppcastUpdateEngine::swapWhenAllowed)) return;
  Staged staged = std::move(*staged_);
  staged_.reset();
  auto installed = swapIn(*config_, staged.update);
  if (!installed) return fail(UpdateCheck::updates, installed.error());
  installed_ = Installed{staged.item, *installed};
  relaunchWhenAllowed();
}

void AppcastUpdateEngine::relaunchWhenAllowed() {
  // Installed: it runs from the next start if nothing releases the relaunch.
  if (!installed_ || postponed(installed_->item, &AppcastUpdateEngine::relaunchWhenAllowed)) return;
  const std::string executable = installed_->executable;
  installed_.reset();
  busy_ = false;
  if (auto delegate = delegate_.lock()) delegate->willRelaunchApplication();
  if (config_->relaunch) config_->relaunch(executable);
}

void AppcastUpdateEngine::fail(UpdateCheck check, const Error& error) {
  if (check != UpdateCheck::updateInformation) busy_ = false;
  auto delegate = delegate_.lock();
  if (!delegate) return;
  delegate->didAbortWithError(error);
  delegate->didFinishUpdateCycle(check, error);
}

OptionalError AppcastUpdateEngine::installPendingOnQuit() {
  // Unpacked and waiting for the guard: only the swap is left.
  if (staged_) {
    Staged staged = std::move(*staged_);
    staged_.reset();
    return errorOf(swapIn(*config_, staged.update));
  }
  if (!pending_) return std::nullopt;
  Downloaded update = std::move(*pending_);
  pending_.reset();
  // Nothing else is worth waiting for now; the install itself ignores the cancel.
  cancelled_->store(true);
  std::promise<OptionalError> done;
  auto result = done.get_future();
  worker_.post([config = config_, &update, &done] {
    auto staged = stageUpdate(*config, update);
    done.set_value(staged ? errorOf(swapIn(*config, *staged)) : staged.error());
  });
  return result.get();
}

}  // namespace lumewell::updater
