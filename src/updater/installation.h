#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "runtime/error.h"

namespace lumewell::updater {

// The executable every installation carries, relative to its folder.
inline constexpr const char* kInstalledExecutable = "bin/lumewell-recorder";

// The installation folder of an executable: the folder above its bin/. An executable that
// does not run from a bin/ folder has none.
Result<std::string> installationFolderOf(const std::string& executable);
// The folder the running executable was installed into.
Result<std::string> currentInstallationFolder();

// Refuses folders that hold more than this application (/, /usr, /usr/local, /opt, the home
// folder...): swapping one of them would replace the whole system's files.
OptionalError checkUpdatableFolder(const std::string& folder);

// Unpacks the archive beside the installation folder (same file system), checks that it
// brings bin/lumewell-recorder, syncs it, and swaps it with the installation folder in one
// atomic step (renameat2 RENAME_EXCHANGE; where the file system cannot exchange, two renames
// with the old folder put back if the second fails). The old installation is kept beside
// the new one as the previous-version folder until removeLeftovers runs in the new version.
// Returns the installed executable.
Result<std::string> installArchive(std::span<const uint8_t> archive, const std::string& folder);

// The previous-version folder of an installation folder.
std::string previousVersionFolder(const std::string& folder);

// Removes what an earlier update left beside the installation folder: the previous version
// and unfinished unpack folders. Called once the new version runs.
void removeLeftovers(const std::string& folder);

}  // namespace lumewell::updater
