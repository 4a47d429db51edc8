#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "runtime/error.h"

namespace lumewell::media {

// The rate every composition works at.
inline constexpr int kComposeSampleRate = 48000;

// What opening a file found about its first audio track.
struct AudioInputInfo {
  int channels = 0;            // of the decoded output: 1 (mono) or 2 (anything else)
  int64_t durationFrames = 0;  // at 48 kHz, priming and padding excluded, as declared
};

// Decodes the first audio track of a file to interleaved float PCM at 48 kHz, mono for a mono
// track and stereo for everything else. The output holds exactly the frames the track's
// duration says: the encoder priming is dropped (skip-samples side data, edit list), the
// padding after the last real sample is cut, and a track that decodes slightly short is
// filled with silence, so files laid one after another join without gap or overlap.
class AudioDecoder {
 public:
  // Opens path, an MP4/M4A file (see openMediaInput). A file that is not there, does not open
  // as MP4 media, or has no audio track answers ok with a null decoder: to the composition all
  // are "no audio track". A path that is refused (not a local regular file), a track outside
  // 8-192 kHz and 1-8 channels, or one that declares no duration is an error.
  static Result<std::unique_ptr<AudioDecoder>> open(const std::string& path);
  virtual ~AudioDecoder() = default;

  virtual const AudioInputInfo& info() const = 0;
  // Fills up to maxFrames frames; fewer only at the end (0 once ended).
  virtual Result<size_t> read(float* interleaved, size_t maxFrames) = 0;
};

}  // namespace lumewell::media
