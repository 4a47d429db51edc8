#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "runtime/error.h"

namespace lumewell::recorder {

// A sealed segment's file name: the index with at least six digits, "%06d.m4a".
std::string sealedSegmentName(int64_t index);
// The index of a part file's name, ".%06d.m4a.part" (the file a segment grows in while it
// records, which a crash leaves behind for recovery); none for any other name.
std::optional<int64_t> partSegmentIndex(const std::string& fileName);
std::string joinPath(const std::string& folder, const std::string& name);
// The first index from `from` on whose segment files are all absent from folder (the sealed
// file, the part, and the "-mic"/"-app" sources that recordings of earlier versions kept per
// segment in the application mode): a new segment never writes over one already there.
int64_t firstFreeSegmentIndex(const std::string& folder, int64_t from);

// A recording id names one folder below the recordings folder: it must not be empty, "." or
// "..", nor contain "/" or NUL, nor be longer than a file name may be (255 bytes).
bool isValidRecordingId(const std::string& id);

// Whether anything (a file, a folder, a dangling link) is at path.
bool pathExists(const std::string& path);
// Removes a file (or link) at path when there is one; a folder there is an error.
[[nodiscard]] OptionalError removeFileIfPresent(const std::string& path);
// Whether the two paths name the same file, also through links or different spellings.
bool sameFile(const std::string& a, const std::string& b);

}  // namespace lumewell::recorder
