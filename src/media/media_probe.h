#pragma once

#include <cstdint>
#include <optional>
#include <string>

// Every file is opened as MP4/M4A from an absolute local path (openMediaInput): anything
// else counts as a file that cannot be opened.
namespace lumewell::media {

// Duration of the file's media in milliseconds, rounded half away from zero; none when the
// file cannot be opened or its duration is not a number.
std::optional<int64_t> mediaDurationMs(const std::string& path);

}  // namespace lumewell::media
