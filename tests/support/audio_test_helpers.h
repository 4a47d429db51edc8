#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lumewell::testing {

// paplay playing wav into sink as an application called name (for PulseServer::launch).
std::vector<std::string> player(const std::string& name, const std::string& sink,
                                const std::string& wav);

// The file's first channel as float at 48 kHz: through the media layer's decoder (our MP4
// files, priming trimmed as the product trims it), or by the ffmpeg tool for a WAV source and
// whatever else that decoder does not open.
std::vector<float> decodeMono(const std::string& path);

// Where pcm[at, at + length) sits best in source, searched over [from, to), by normalised
// cross-correlation: a score of 1 is the very samples.
struct Match {
  int64_t position = -1;
  double score = -2;
};
Match locate(const std::vector<float>& source, const std::vector<float>& pcm, size_t at,
             size_t length, int64_t from, int64_t to);

// Goertzel power of one frequency, normalised by the length (a full-scale sine gives ~0.25).
double tonePower(const std::vector<float>& pcm, size_t begin, size_t end, double hz);
// The tone's power over [begin, end) as the mean of its power in 0.1 s blocks: a level that a
// jump of the tone's phase inside the window (a sound server dropping a few milliseconds of
// every stream at once) cannot cancel, while a stretch of silence still lowers it.
double meanTonePower(const std::vector<float>& pcm, size_t begin, size_t end, double hz);

}  // namespace lumewell::testing
