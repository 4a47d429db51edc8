#include "updater/installation.h"

#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <sstream>
#include <vector>

#include "runtime/files.h"
#include "runtime/relaunch.h"
#include "updater/archive_unpack.h"

namespace lumewell::updater {
namespace fs = std::filesystem;
namespace {

constexpr const char* kUpdatedElsewhere =
    "it is updated by its package manager or by reinstalling it, not by the updater.";

Error installError(const std::string& text) { return Error{"updater.install", 1, text}; }

// A small regular file, read whole; none for a link, another kind of file or a larger one.
std::optional<std::string> readSmallFile(const std::string& path, size_t maxBytes) {
  auto text = readFileAtMost(path, maxBytes, true);
  if (text && text->size() > maxBytes) return std::nullopt;  // it grew meanwhile
  return text;
}

bool isVersionText(const std::string& v) {
  return !v.empty() && v.size() <= 64 && std::all_of(v.begin(), v.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) ||
           std::string_view(".-+_~").find(c) != std::string_view::npos;
  });
}

// Why folder is not one of our bundles, or none when its marker names this application and
// the layout this build knows.
std::optional<std::string> checkBundleMarker(const std::string& folder) {
  auto text = readSmallFile(folder + "/" + kBundleMarker, 4096);
  if (!text) return std::string("it has no ") + kBundleMarker + " marker";
  std::string application;
  std::string layout;
  std::istringstream lines(*text);
  for (std::string line; std::getline(lines, line);) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    if (line.compare(0, eq, "application") == 0) application = line.substr(eq + 1);
    if (line.compare(0, eq, "layout") == 0) layout = line.substr(eq + 1);
  }
  if (application != kApplicationId) {
    return std::string("its ") + kBundleMarker + " marker names another application";
  }
  if (layout != std::to_string(kBundleLayout)) {
    return std::string("its ") + kBundleMarker + " marker has an unknown layout";
  }
  return std::nullopt;
}

int exchangePaths(const std::string& a, const std::string& b) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 28))
  return ::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
#else
  return static_cast<int>(::syscall(SYS_renameat2, AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(),
                                    1u << 1 /* RENAME_EXCHANGE */));
#endif
}

bool isExecutableFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// The archive's own root, or its single top folder when it wraps everything in one.
Result<std::string> payloadRoot(const std::string& unpacked) {
  if (isExecutableFile(unpacked + "/" + kInstalledExecutable)) return unpacked;
  std::error_code ec;
  std::string only;
  int count = 0;
  for (const auto& e : fs::directory_iterator(unpacked, ec)) {
    ++count;
    if (e.is_directory(ec) && !e.is_symlink(ec)) only = e.path().string();
  }
  if (count == 1 && !only.empty() && isExecutableFile(only + "/" + kInstalledExecutable)) {
    return only;
  }
  return installError(std::string("The update archive does not contain an executable ") +
                      kInstalledExecutable + "; it was not installed.");
}

struct Names {
  std::string parent;
  std::string name;
};

Names split(const std::string& folder) {
  fs::path p = fs::path(folder).lexically_normal();
  if (!p.has_filename()) p = p.parent_path();  // "a/b/" -> "a/b"
  return {p.parent_path().string(), p.filename().string()};
}

}  // namespace

Result<std::string> installationFolderOf(const std::string& executable) {
  const fs::path exe = fs::path(executable).lexically_normal();
  const fs::path bin = exe.parent_path();
  if (bin.filename() != "bin" || !bin.has_parent_path() || bin.parent_path() == bin.root_path()) {
    return installError("The application does not run from an installation folder (" + executable +
                        " is not in a bin/ folder of its own), so it cannot update "
                        "itself.");
  }
  return bin.parent_path().string();
}

Result<std::string> currentInstallationFolder() {
  const std::string executable = currentExecutablePath();
  if (executable.empty()) return installError("The running executable cannot be located.");
  return installationFolderOf(executable);
}

OptionalError checkUpdatableFolder(const std::string& folder) {
  std::error_code ec;
  const fs::path real = fs::canonical(folder, ec);
  if (ec || !fs::is_directory(real, ec)) {
    return installError("The installation folder " + folder + " does not exist.");
  }
  std::vector<fs::path> shared = {"/",     "/usr",  "/usr/local", "/opt", "/home",  "/var",
                                  "/etc",  "/bin",  "/sbin",      "/lib", "/lib64", "/srv",
                                  "/snap", "/root", "/tmp",       "/app"};
  if (const char* home = g_get_home_dir()) shared.emplace_back(home);
  for (const fs::path& p : shared) {
    const fs::path canonicalShared = fs::weakly_canonical(p, ec);
    if (real == p || (!ec && real == canonicalShared)) {
      return installError("The application is installed in the shared folder " + real.string() +
                          ", which an update must not replace; " + kUpdatedElsewhere);
    }
  }
  if (!isExecutableFile(folder + "/" + kInstalledExecutable)) {
    return installError("The folder " + folder + " is not an installation of Lumewell Recorder.");
  }
  if (auto notBundle = checkBundleMarker(folder)) {
    return installError("Lumewell Recorder in " + folder +
                        " was not installed as an application bundle (" + *notBundle + "); " +
                        kUpdatedElsewhere);
  }
  const std::string parent = split(folder).parent;
  if (::access(folder.c_str(), W_OK | X_OK) != 0 || ::access(parent.c_str(), W_OK | X_OK) != 0) {
    return installError("The Lumewell Recorder bundle in " + folder +
                        " cannot be replaced by this user; it is updated by reinstalling it as "
                        "its owner (for example: sudo scripts/install-bundle.sh --system).");
  }
  return std::nullopt;
}

std::string previousVersionFolder(const std::string& folder) {
  const Names n = split(folder);
  return (fs::path(n.parent) / ("." + n.name + ".previous")).string();
}

void discardStaged(const StagedUpdate& staged) {
  std::error_code ec;
  if (!staged.staging.empty()) fs::remove_all(staged.staging, ec);
}

Result<StagedUpdate> stageArchive(std::span<const uint8_t> archive, const std::string& folder) {
  if (auto refused = checkUpdatableFolder(folder)) return *refused;
  const Names n = split(folder);
  const std::string target = (fs::path(n.parent) / n.name).string();

  // Unpacked beside the installation so that the swap is a rename on one file system.
  StagedUpdate staged;
  staged.staging = (fs::path(n.parent) / ("." + n.name + ".update-XXXXXX")).string();
  if (::mkdtemp(staged.staging.data()) == nullptr) {
    return installError("Cannot unpack the update beside " + target + ": " + std::strerror(errno));
  }
  auto fail = [&staged](const Error& error) -> Result<StagedUpdate> {
    discardStaged(staged);
    return error;
  };
  if (auto err = unpackArchive(archive, staged.staging)) return fail(*err);
  auto root = payloadRoot(staged.staging);
  if (!root) return fail(root.error());
  if (auto notBundle = checkBundleMarker(*root)) {
    return fail(installError("The update archive is not a Lumewell Recorder bundle (" + *notBundle +
                             "); it was not installed."));
  }
  auto version = readSmallFile(*root + "/" + kBundleVersionFile, 256);
  while (version && !version->empty() && (version->back() == '\n' || version->back() == '\r')) {
    version->pop_back();
  }
  if (!version || !isVersionText(*version)) {
    return fail(installError(std::string("The update archive has no valid ") + kBundleVersionFile +
                             " file; it was not installed."));
  }
  staged.root = *root;
  staged.version = *version;
  struct stat old {};
  if (::stat(target.c_str(), &old) == 0) ::chmod(staged.root.c_str(), old.st_mode & 07777);
  (void)syncFolder(staged.root);
  (void)syncFolder(staged.staging);
  // The previous version of an earlier update has had its start; this one's takes its place.
  std::error_code ec;
  fs::remove_all(previousVersionFolder(folder), ec);
  return staged;
}

Result<std::string> swapInStaged(const StagedUpdate& staged, const std::string& folder) {
  // Whatever happens, what is left of the unpack folder goes.
  struct Cleanup {
    const StagedUpdate& staged;
    ~Cleanup() { discardStaged(staged); }
  } cleanup{staged};
  if (auto refused = checkUpdatableFolder(folder)) return *refused;
  const Names n = split(folder);
  const std::string target = (fs::path(n.parent) / n.name).string();
  const std::string previous = previousVersionFolder(folder);
  if (exchangePaths(staged.root, target) == 0) {
    // root now holds the old installation.
    if (!isExecutableFile(target + "/" + kInstalledExecutable)) {
      if (exchangePaths(staged.root, target) != 0) {
        return installError(
            "The swapped-in update has no executable, and the old version could "
            "not be put back: it is in " +
            staged.root + " (" + std::strerror(errno) + ").");
      }
      return installError("The swapped-in update has no executable; the old version was restored.");
    }
    // The old version waits as the previous one until the new one has started; where it
    // cannot be moved there it stays in the staging folder, which is cleared the same way.
    (void)::rename(staged.root.c_str(), previous.c_str());
  } else {
    const int exchangeErrno = errno;
    if (exchangeErrno != EINVAL && exchangeErrno != ENOSYS) {
      return installError("Cannot swap the update into " + target + ": " +
                          std::strerror(exchangeErrno));
    }
    // The file system cannot exchange: move the old folder aside, then the new one in, and
    // put the old one back if the second step fails.
    if (::rename(target.c_str(), previous.c_str()) != 0) {
      return installError("Cannot move the old installation aside: " +
                          std::string(std::strerror(errno)));
    }
    if (::rename(staged.root.c_str(), target.c_str()) != 0) {
      const int moveErrno = errno;
      if (::rename(previous.c_str(), target.c_str()) != 0) {
        return installError("Cannot move the update into " + target + " (" +
                            std::strerror(moveErrno) +
                            "), and the old version could not be put "
                            "back: it is in " +
                            previous + ".");
      }
      return installError("Cannot move the update into " + target +
                          " (the old version was restored): " + std::strerror(moveErrno));
    }
  }
  (void)syncFolder(n.parent);
  return target + "/" + kInstalledExecutable;
}

Result<std::string> installArchive(std::span<const uint8_t> archive, const std::string& folder) {
  auto staged = stageArchive(archive, folder);
  if (!staged) return staged.error();
  return swapInStaged(*staged, folder);
}

void removeLeftovers(const std::string& folder) {
  const Names n = split(folder);
  std::error_code ec;
  fs::remove_all(previousVersionFolder(folder), ec);
  const std::string prefix = "." + n.name + ".update-";
  for (const auto& e : fs::directory_iterator(n.parent, ec)) {
    const std::string name = e.path().filename().string();
    if (name.rfind(prefix, 0) == 0) fs::remove_all(e.path(), ec);
  }
}

}  // namespace lumewell::updater
