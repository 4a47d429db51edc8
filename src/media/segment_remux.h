#pragma once

#include <functional>
#include <string>
#include <vector>

#include "runtime/error.h"

namespace lumewell::media {

// Joins consecutive files of one encoded run (SegmentedAacWriter) by their packets, without
// decoding: the pre-roll and the duplicated spanning packet of every later file are dropped
// and the durations restored, so the output is packet for packet the run's continuous encode.
// Answers false, having written nothing, when the inputs do not prove that they are such
// files (run id, first sample, codec setup, the shared packet); the caller then re-encodes.
// An error is an output that could not be written. The output gets the front index.
Result<bool> remuxRun(const std::vector<std::string>& paths, const std::string& output,
                      const std::function<bool()>& cancelled);

}  // namespace lumewell::media
