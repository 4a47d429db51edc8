#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pulse/pulse_connection.h"
#include "runtime/error.h"

namespace lumewell::app_audio {

// One shareable-content snapshot, taken from the sound server for a single query. The rules
// below read only these plain fields, so they run without a server.
struct SnapshotApplication {
  std::string applicationName;   // empty when unknown
  std::string bundleIdentifier;  // empty when unknown
  int32_t processID = 0;
};

// A playback stream of an application, placed on the output device it plays on.
struct SnapshotWindow {
  std::optional<int32_t> owningProcessID;  // none: the stream belongs to no application
  uint32_t deviceIndex = 0;
};

// An output device (sink).
struct SnapshotDisplay {
  uint32_t deviceIndex = 0;
  std::string name;
  std::string description;
};

struct ShareableContent {
  std::vector<SnapshotApplication> applications;  // server order
  std::vector<SnapshotWindow> windows;            // server order
  std::vector<SnapshotDisplay> displays;          // the default device first
};

// What a source id resolves to.
struct CaptureTarget {
  SnapshotApplication application;
  SnapshotDisplay display;
};

inline constexpr std::array<std::string_view, 14> kExcludedApplicationNames = {
    "Accessibility",
    "Accessibility Services",
    "Control Center",
    "CoreServicesUIAgent",
    "CursorUIViewService",
    "Dock",
    "Finder",
    "Hidden Bar",
    "LocalAuthenticationRemoteService",
    "loginwindow",
    "Notification Center",
    "Stats",
    "Window Manager",
    "WindowManager",
};
inline constexpr std::array<std::string_view, 1> kExcludedApplicationNamePrefixes = {"AutoFill"};
inline constexpr std::array<std::string_view, 1> kExcludedBundleIdentifiers = {
    "com.bitdefender.epsecurity.BDLDaemonApp"};
inline constexpr std::array<std::string_view, 1> kExcludedBundleIdentifierPrefixes = {"com.apple."};

// Program error codes of the catalogue and the capture session.
inline constexpr int kWriterInputErrorCode = 20;
inline constexpr int kNoContentErrorCode = 31;
inline constexpr int kInvalidSourceErrorCode = 33;
inline constexpr int kSourceUnavailableErrorCode = 34;
inline constexpr int kNoDisplayErrorCode = 35;

inline constexpr const char* kWriterInputMessage = "Failed to add the desktop audio writer input.";
inline constexpr const char* kNoContentMessage = "No shareable desktop content was returned.";
inline constexpr const char* kInvalidSourceMessage =
    "The selected desktop app audio source is invalid.";
inline constexpr const char* kSourceUnavailableMessage =
    "The selected desktop app is no longer available to capture.";
inline constexpr const char* kNoDisplayMessage =
    "No display is available for the selected desktop app.";
inline constexpr const char* kCaptureDeclinedMessage =
    "Screen Recording access is required to capture desktop app audio. Enable it in System "
    "Settings > Privacy & Security > Screen Recording.";

Error writerInputError();
Error noContentError();
Error invalidSourceError();
Error sourceUnavailableError();
Error noDisplayError();

// Errors of the sound server, as the microphone's.
using pulse::kPulseErrorDomain;
using pulse::pulseError;

// The declined-capture sentence when the sound server refused us (the counterpart of a
// declined screen-capture permission), else the error's own description.
std::string appAudioErrorMessage(const Error& error);

// The catalogue's filter; the first rule that matches excludes the application.
bool isCapturableApplication(const SnapshotApplication& app, int32_t hostProcessID);

// Capturable applications, sorted stably by name, case-insensitively in the user's locale.
std::vector<SnapshotApplication> catalogueApplications(const ShareableContent& content,
                                                       int32_t hostProcessID);

// An optional sign and one or more ASCII digits, the whole string, within int32; else none.
std::optional<int32_t> parseSourceId(std::string_view id);

// The application with this process id and the device its first placed stream plays on (the
// first device when none is placed).
Result<CaptureTarget> selectCaptureTarget(const ShareableContent& content, int32_t processID);

}  // namespace lumewell::app_audio
