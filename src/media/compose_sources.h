#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "media/audio_decoder.h"
#include "runtime/error.h"

namespace lumewell::media {

// A stream of interleaved float PCM at 48 kHz that a composition encodes.
class PcmSource {
 public:
  virtual ~PcmSource() = default;
  virtual int channels() const = 0;
  // Fills up to maxFrames frames; fewer only at the end (0 once ended).
  virtual Result<size_t> read(float* interleaved, size_t maxFrames) = 0;
};

// The inputs one after another, each exactly as long as its duration says, at channels
// (1 or 2). Opens one input at a time, so hundreds of inputs cost one decoder.
std::unique_ptr<PcmSource> makeSequenceSource(std::vector<std::string> paths, int channels);

// Reads inner on a thread of its own, at most depth chunks ahead, so decoding overlaps the
// encoding of what was read before. Destroying it stops and joins the thread.
std::unique_ptr<PcmSource> makePrefetchingSource(std::unique_ptr<PcmSource> inner,
                                                 size_t chunkFrames = 8192, size_t depth = 4);

}  // namespace lumewell::media
