#pragma once

// The recorder channel's error codes and fixed texts, as the Dart side receives them: the
// codes and messages of failed method calls, the reasons a preflight gives, and the codes of
// the recorder's own errors (domain kProgramErrorDomain).
namespace lumewell::recorder::errors {

// Method-call error codes.
inline constexpr const char* kBadArgs = "bad_args";
inline constexpr const char* kPermissionDenied = "permission_denied";
inline constexpr const char* kStartFailed = "start_failed";
inline constexpr const char* kPauseFailed = "pause_failed";
inline constexpr const char* kResumeFailed = "resume_failed";
inline constexpr const char* kStopFailed = "stop_failed";
inline constexpr const char* kAssembleFailed = "assemble_failed";

// Messages of failed method calls.
inline constexpr const char* kMissingStartArguments = "Missing start recording arguments.";
inline constexpr const char* kMissingRecordingId = "Missing recordingId.";
inline constexpr const char* kInvalidRecordingId = "Invalid recordingId.";
inline constexpr const char* kMissingAppSource = "Missing desktop app audio source.";
inline constexpr const char* kMicrophoneNeeded =
    "Microphone access is required before recording can start.";
inline constexpr const char* kStartFailedText = "Failed to start recording.";
inline constexpr const char* kPauseFailedText = "Failed to pause recording.";
inline constexpr const char* kNothingToResume =
    "No paused recording session is available to resume.";
inline constexpr const char* kResumeFailedText = "Failed to resume recording.";
inline constexpr const char* kStopFailedText = "Failed to stop recording.";
inline constexpr const char* kAssembleArgsMissing =
    "segmentPaths and outputPath are required to assemble a recording.";
inline constexpr const char* kNoSegmentPaths =
    "At least one segment path is required to assemble a recording.";
inline constexpr const char* kPrepareOutputFailed = "Failed to prepare assembled audio output.";
inline constexpr const char* kCopyOutputFailed = "Failed to copy assembled audio output.";
inline constexpr const char* kAssembleFailedText = "Failed to assemble the recording.";

// Events: an "error" event's message starts with this; a "source_lost" event names this
// source when the start named none.
inline constexpr const char* kRotationFailedPrefix = "Failed to rotate recording segment: ";
inline constexpr const char* kUnnamedSource = "Desktop audio source";

// Preflight reasons and storage warnings.
inline constexpr const char* kDiskCriticallyLow =
    "Free disk space is critically low. Lumewell Recorder needs room for local segments and the "
    "assembled upload file.";
inline constexpr const char* kDiskLow =
    "Free disk space is low. Long sessions temporarily duplicate audio during upload "
    "preparation.";
inline constexpr const char* kNoRoomToStart =
    "Not enough free disk space to safely start a recording.";
inline constexpr const char* kMicrophoneBlocked =
    "Microphone access is required. Enable it in System Settings > Privacy & Security > "
    "Microphone.";
inline constexpr const char* kMicrophoneDenied = "Microphone access was denied.";
inline constexpr const char* kMicrophoneUnknown =
    "Unable to determine microphone permission state.";
inline constexpr const char* kPickAppSource = "Pick a desktop app audio source before recording.";
inline constexpr const char* kAppSourceGone =
    "The selected desktop app is no longer available to capture.";
inline constexpr const char* kAppSourceInvalid =
    "The selected desktop app audio source is invalid.";

// The recorder's own errors (domain kProgramErrorDomain), code and text.
inline constexpr int kNoRecordingDirectory = 1;
inline constexpr const char* kNoRecordingDirectoryText = "Recording directory is not initialized.";
inline constexpr int kRecorderNotRecording = 2;
inline constexpr const char* kRecorderNotRecordingText =
    "AVAudioRecorder failed to enter the recording state.";
inline constexpr int kAppCaptureFailed = 20;
inline constexpr const char* kAppCaptureFailedText = "Failed to start desktop app audio capture.";

}  // namespace lumewell::recorder::errors
