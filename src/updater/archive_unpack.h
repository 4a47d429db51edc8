#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "runtime/error.h"

namespace lumewell::updater {

struct UnpackLimits {
  int64_t maxTotalBytes = int64_t{4} << 30;  // uncompressed, all files together
  int64_t maxEntries = 200000;
};

// Unpacks a .tar.gz, .tar.xz or .zip archive held in memory into destination, an existing
// empty folder. Only folders, regular files and symbolic links that stay inside the folder
// (each on its own and all of them together, resolved once everything is unpacked) are
// accepted; an absolute path, a ".." component, a link leading out, a hard link, a device
// or a duplicate file refuses the whole archive. Nothing is ever written through a symbolic
// link. Permissions keep the executable bits but never set-id or group/other write. Files
// and folders are synced to disk before success is reported. On failure the caller removes
// destination.
[[nodiscard]] OptionalError unpackArchive(std::span<const uint8_t> archive,
                                          const std::string& destination,
                                          const UnpackLimits& limits = {});

}  // namespace lumewell::updater
