#pragma once

#include <optional>
#include <string>

#include "channels/value.h"

namespace lumewell::tools {

struct RecordOptions {
  std::string socketPath;
  double seconds = 65;
  std::string recordingId;  // generated from the time when empty
  std::string app;          // id or name of an application: records in the application mode
  std::optional<double> timeoutSeconds;  // --timeout
};

// Runs a whole recording through the host: preflight, start, one line per sealed segment and
// a live level bar, stop after the given time or on Ctrl-C, then the folder. Exits 1 when
// the recording ended with an "error" event.
[[nodiscard]] int runRecord(const RecordOptions& options);
// Prints the application catalogue.
[[nodiscard]] int runSources(const std::string& socketPath,
                             std::optional<double> timeoutSeconds = {});

// "segment 000001  30.000 s   469.2 KiB  sha256 0123456789ab"
std::string formatSealedSegment(const ValueMap& event);
// A 40-column bar for a level in [0, 1], on a dBFS scale from -60 to 0.
std::string formatLevelBar(double level);

}  // namespace lumewell::tools
