#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "runtime/error.h"

namespace lumewell {

// The application id: the bus name and the name of the data and cache folders.
inline constexpr const char* kApplicationId = "app.lumewell.Recorder";

// <XDG data home>/app.lumewell.Recorder (not created here).
std::string dataHome();

// Bytes available to an unprivileged user (f_bavail * f_frsize) on the volume holding path.
// A path that does not exist yet is measured at its nearest existing ancestor, so the data
// folder's volume is known before the folder is made. None when nothing can be measured.
std::optional<int64_t> freeDiskBytes(const std::string& path);

// What a file's mode says it is, for messages: "a folder", "a FIFO", "a character device",
// "a block device", "a socket", else "a special file" (the caller knows it is not regular).
std::string fileKind(unsigned mode);

// The bytes of a small file, at most maxBytes + 1 of them (one more than allowed shows the
// file is larger), read from a descriptor opened without following a final link and
// without blocking; none when it cannot be opened. With regularOnly, none unless it is a
// regular file of at most maxBytes.
std::optional<std::string> readFileAtMost(const std::string& path, size_t maxBytes,
                                          bool regularOnly);

// mkdir -p with mode 0700 for new folders; an existing folder is no error.
[[nodiscard]] OptionalError createDirectories(const std::string& path);

// createDirectories, then every folder from privateRoot down to path (privateRoot is path or
// one of its ancestors) gets mode 0700 whatever the umask; one that exists with a wider mode
// is narrowed. Folders above privateRoot are left as they are.
[[nodiscard]] OptionalError createPrivateDirectories(const std::string& path,
                                                     const std::string& privateRoot);

// Flushes a file's data and its folder's entry to the disk, so that a file reported as
// written survives a power cut.
[[nodiscard]] OptionalError syncFileAndFolder(const std::string& path);
[[nodiscard]] OptionalError syncFile(const std::string& path);
[[nodiscard]] OptionalError syncFolder(const std::string& folder);
// Flushes the entries of the folder holding path.
[[nodiscard]] OptionalError syncFolderOf(const std::string& path);
// Renames without ever replacing what is at `to` (an error then).
[[nodiscard]] OptionalError renameNoReplace(const std::string& from, const std::string& to);

}  // namespace lumewell
