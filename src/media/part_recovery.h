#pragma once

#include <string>

#include "runtime/error.h"

namespace lumewell::media {

// Makes a segment that a crash or a kill interrupted (its fragmented part file,
// <folder>/.<name>.part) into its regular file <folder>/<name>, as a seal would have: a torn
// last fragment is cut off, the samples before the segment's first one are hidden again, the
// file is written, flushed and read back, and only then is the part removed. The path of the
// new file. An existing <folder>/<name> is never replaced: that is an error, and the part
// stays, as it does on any failure. Safe to call from several threads.
struct FinalizedPart {
  std::string path;
  int channels = 0;
  int sampleRate = 0;
};
Result<FinalizedPart> finalizePart(const std::string& partPath);

}  // namespace lumewell::media
