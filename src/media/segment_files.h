#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "runtime/error.h"
#include "runtime/files.h"

struct AVPacket;
struct AVCodecParameters;

namespace lumewell::media {

struct PacketDeleter {
  void operator()(AVPacket* packet) const;
};
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
// A new reference to packet's data and properties; null when out of memory.
PacketPtr copyPacket(const AVPacket& packet);

// The names beside a segment's final name <folder>/<name>: the fragmented file it grows in
// while it records (<folder>/.<name>.part, which a crash leaves behind for recovery) and the
// staging name its final form is written under before the rename (<folder>/.<name>.tmp).
std::string partPathFor(const std::string& finalPath);
std::string stagingPathFor(const std::string& finalPath);
// The final name a ".<name>.part" file name stands for; empty for any other name.
std::string finalNameOfPart(const std::string& fileName);

// Metadata tag of a part file: the samples its first packets hold before the segment's first
// presented sample (encoder priming and pre-roll), hidden by the final file's edit list.
inline constexpr const char* kLeadSamplesTag = "lumewell_lead";
// A numeric tag's value: ASCII digits only, the whole text, within int64; else none.
std::optional<int64_t> parseTagNumber(const char* text);

struct FinalSegment {
  const AVCodecParameters* codec = nullptr;  // the AAC track
  int sampleRate = 48000;
  std::vector<std::pair<std::string, std::string>> tags;
  bool fastStart = true;
};

// Writes packets as the regular MP4 at finalPath (index in front). Their pts count samples
// from the file's first presented sample; earlier packets (negative pts) are hidden by the
// edit list, and each packet's duration is the part of it that plays. The file is written
// under the staging name, flushed to the disk, read back (every packet must come back with
// the bytes written), renamed to finalPath and the folder flushed: finalPath never names a
// half file. An existing finalPath is an error, never replaced.
[[nodiscard]] OptionalError writeFinalSegment(const std::string& finalPath,
                                              const FinalSegment& segment,
                                              const std::vector<PacketPtr>& packets);

}  // namespace lumewell::media
