#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "media/aac_file_writer.h"
#include "runtime/error.h"

namespace lumewell::media {

// Metadata every file of a run carries (user data of the .m4a, read back with libavformat):
// the run's id, and the run sample the file's first presented sample is.
inline constexpr const char* kRunIdTag = "lumewell_run";
inline constexpr const char* kFirstSampleTag = "lumewell_first_sample";
// Packets that precede a later file's first packet of its own, so that its first sample
// decodes exactly as in the continuous encode.
inline constexpr int kPrerollPackets = 2;

// One continuous AAC-LC encode (a run) written as a chain of self-contained .m4a files. A
// cut only moves the encoded stream on to the next file: the packet that spans the cut goes
// into both files, its end hidden in the earlier one (shortened last packet) and its start
// in the later one (edit list), which also starts with kPrerollPackets packets from before
// the cut. Each file plays alone and holds exactly its own samples. Not thread-safe.
class SegmentedAacWriter {
 public:
  // Opens the run's first file (replacing an existing one) and the encoder.
  static Result<std::unique_ptr<SegmentedAacWriter>> create(const std::string& path,
                                                            const AacWriterSettings& settings,
                                                            std::string runId);
  virtual ~SegmentedAacWriter() = default;

  // Appends frames (interleaved floats, clamped to [-1, 1]).
  [[nodiscard]] virtual OptionalError write(const float* interleaved, size_t frames) = 0;
  // Ends the current file at run sample `at` and goes on into nextPath. A cut the written
  // packets no longer allow moves to the earliest one they do. Answers the cut's position;
  // the earlier file is complete once cutPending() is false, when the encoder has passed
  // the cut. Fails while an earlier cut is still pending.
  virtual Result<int64_t> cut(int64_t at, const std::string& nextPath) = 0;
  virtual bool cutPending() const = 0;
  // Flushes the encoder and completes the files. Idempotent. A pending cut beyond the end of
  // the run is dropped (its file is never created).
  [[nodiscard]] virtual OptionalError finish() = 0;
  // Closes without finishing and removes the files not yet complete.
  virtual void cancel() = 0;

  virtual const AacWriterSettings& settings() const = 0;
};

// A fresh random run id (hex).
std::string makeRunId();

}  // namespace lumewell::media
