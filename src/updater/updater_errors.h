#pragma once

// The updater channel's error codes and the fixed texts of its answers and status records.
// The engine's failures reach the Dart side as their text alone (the record's "error").
namespace lumewell::updater::errors {

// Method-call error codes and messages.
inline constexpr char kBadArgs[] = "bad_args";
inline constexpr char kNotConfigured[] = "not_configured";
inline constexpr char kConfigureArgsMissing[] =
    "channel and feedUrl are required to configure Sparkle.";
inline constexpr char kNotConfiguredText[] = "Desktop updates are not configured yet.";

// The status record's "message" after a check.
inline constexpr char kCheckFailed[] = "Desktop update check failed.";
inline constexpr char kUpToDate[] = "Lumewell Recorder is already up to date.";

}  // namespace lumewell::updater::errors
