#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <system_error>

#include "recorder/audio_services.h"
#include "runtime/error.h"

namespace lumewell::recorder {

// Segment file names: the index with at least six digits, "%06d.m4a" sealed; "-mic" and
// "-app" name the two sources that recordings of earlier versions kept per segment in the
// application mode (a new segment never takes an index they hold).
std::string sealedSegmentName(int64_t index);
std::string micSegmentName(int64_t index);
std::string appSegmentName(int64_t index);
// ".%06d.m4a.part": the file a segment grows in while it records, which a crash leaves
// behind for recovery; the index is taken while it exists.
std::string partSegmentName(int64_t index);
// The index of a part file's name; none for any other name.
std::optional<int64_t> partSegmentIndex(const std::string& fileName);
std::string joinPath(const std::string& folder, const std::string& name);
// The first index from `from` on whose segment files (of every name above) are all absent
// from folder: a new segment never writes over one already there.
int64_t firstFreeSegmentIndex(const std::string& folder, int64_t from);

// A recording id names one folder below the recordings folder: it must not be empty, "." or
// "..", nor contain "/" or NUL, nor be longer than a file name may be (255 bytes).
bool isValidRecordingId(const std::string& id);

Error fileError(const std::error_code& ec, const std::string& context);
// Whether anything (a file, a folder, a dangling link) is at path.
bool pathExists(const std::string& path);
// Removes a file (or link) at path when there is one; a folder there is an error.
[[nodiscard]] OptionalError removeFileIfPresent(const std::string& path);
Result<int64_t> fileSize(const std::string& path);
// What a sealed segment is reported with, measured from its file (any thread): a file that
// does not play is an error (EIO), never a segment of a made-up length.
struct SegmentMeasure {
  int64_t byteLength = 0;
  std::string sha256;
  int64_t durationMs = 0;
};
Result<SegmentMeasure> measureSegment(AudioServices& audio, const std::string& path);
// Whether the two paths name the same file, also through links or different spellings.
bool sameFile(const std::string& a, const std::string& b);

}  // namespace lumewell::recorder
