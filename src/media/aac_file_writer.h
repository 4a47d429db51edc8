#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "runtime/error.h"

namespace lumewell::media {

struct AacWriterSettings {
  int sampleRate = 48000;
  int channels = 1;
  int bitRate = 128000;
  // Put the index (moov) in front of the audio data, for network use. Costs a second pass
  // over the file at finish().
  bool fastStart = false;
  // FFmpeg's fast coder: half the CPU of its default two-loop search at a signal-to-noise
  // ratio within 1 dB of it at these bitrates (bench/encoder_bench.sh). Live recording,
  // which runs for hours, uses it; re-encodes of finished files keep the default.
  bool fastCoder = false;
};

// AAC-LC in an MPEG-4 audio file (.m4a), fed interleaved float PCM at the settings' rate and
// channel count. Not thread-safe: one thread feeds it (or calls are serialized by the owner).
// The file on disk is complete and playable only after finish() returned no error.
class AacFileWriter {
 public:
  // Opens the output file (replacing an existing one) and sets up the encoder. path is an
  // absolute local path; anything but a regular file there is refused (checkMediaOutputPath).
  static Result<std::unique_ptr<AacFileWriter>> create(const std::string& path,
                                                       const AacWriterSettings& settings);
  virtual ~AacFileWriter() = default;

  // Appends frames (frames * channels floats, interleaved, nominally within [-1, 1]; values
  // outside are clamped). Encodes as full encoder frames become available.
  [[nodiscard]] virtual OptionalError write(const float* interleaved, size_t frames) = 0;
  // Flushes the encoder, writes the trailer and closes the file. Idempotent.
  [[nodiscard]] virtual OptionalError finish() = 0;
  // Closes without finishing and removes the output file.
  virtual void cancel() = 0;

  // Frames accepted so far (what the file will hold once finished).
  virtual int64_t framesWritten() const = 0;
  virtual const AacWriterSettings& settings() const = 0;
};

}  // namespace lumewell::media
