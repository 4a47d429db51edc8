#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "runtime/error.h"

namespace lumewell::updater {

// The executable every installation carries, relative to its folder.
inline constexpr const char* kInstalledExecutable = "bin/lumewell-recorder";
// Written by the bundle install step into the bundle's own folder: only a folder carrying it
// is ever replaced by an update. Lines "application=<id>" and "layout=<n>".
inline constexpr const char* kBundleMarker = "lumewell-bundle";
inline constexpr int kBundleLayout = 1;
// The bundle's version, one line; an update archive's copy is the version it installs.
inline constexpr const char* kBundleVersionFile = "lumewell-version";

// The installation folder of an executable: the folder above its bin/. An executable that
// does not run from a bin/ folder has none.
Result<std::string> installationFolderOf(const std::string& executable);
// The folder the running executable was installed into.
Result<std::string> currentInstallationFolder();

// An update replaces only a bundle of this application that the user can replace: a folder
// with our bundle marker and executable, not a shared folder (/, /usr, /opt, the home
// folder...), whose parent and itself the user may write. Anything else (a plain --prefix
// install, a distribution package, a root-owned bundle) is refused with a sentence saying how
// it is updated instead.
[[nodiscard]] OptionalError checkUpdatableFolder(const std::string& folder);

// An update unpacked beside the installation folder, not yet swapped in.
struct StagedUpdate {
  std::string staging;  // the unpack folder; discardStaged removes it
  std::string root;     // the new installation inside it
  std::string version;  // read from the archive's version file
};

// Checks the installation folder, unpacks the archive beside it (same file system), checks
// that it brings bin/lumewell-recorder, the bundle marker and a version file, and syncs it.
Result<StagedUpdate> stageArchive(std::span<const uint8_t> archive, const std::string& folder);

// Swaps a staged update with the installation folder in one atomic step (renameat2
// RENAME_EXCHANGE; where the file system cannot exchange, two renames with the old folder
// put back if the second fails). The old installation is kept beside the new one as the
// previous-version folder until removeLeftovers runs in the new version. Only renames and
// a folder sync: cheap enough for the main thread. Returns the installed executable.
Result<std::string> swapInStaged(const StagedUpdate& staged, const std::string& folder);

void discardStaged(const StagedUpdate& staged);

// stageArchive, then swapInStaged.
Result<std::string> installArchive(std::span<const uint8_t> archive, const std::string& folder);

// The previous-version folder of an installation folder.
std::string previousVersionFolder(const std::string& folder);

// Removes what an earlier update left beside the installation folder: the previous version
// and unfinished unpack folders. Called once the new version runs.
void removeLeftovers(const std::string& folder);

}  // namespace lumewell::updater
