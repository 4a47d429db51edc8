#pragma once

#include <string>

#include "runtime/error.h"

namespace lumewell::media {

// SHA-256 of a file's bytes, lowercase hex (each byte "%02x"), read in blocks.
Result<std::string> sha256FileHex(const std::string& path);

}  // namespace lumewell::media
