#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "runtime/error.h"

// Every file is opened as MP4/M4A from an absolute local path (openMediaInput): anything
// else counts as a file that cannot be opened.
namespace lumewell::media {

// Duration of the file's media in milliseconds, rounded half away from zero; none when the
// file cannot be opened or its duration is not a number.
std::optional<int64_t> mediaDurationMs(const std::string& path);

// Whether the file opens as media and has at least one audio stream.
bool hasAudioTrack(const std::string& path);

struct AudioStreamInfo {
  std::string codec;    // "aac"
  std::string profile;  // "LC"
  int sampleRate = 0;
  int channels = 0;
  int64_t durationSamples = 0;  // without encoder priming and padding, when the file says so
};
Result<AudioStreamInfo> probeAudio(const std::string& path);

}  // namespace lumewell::media
