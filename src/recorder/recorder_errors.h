#pragma once

// The recorder channel's error codes and fixed texts, as the Dart side receives them: the
// codes and messages of failed method calls, the reasons a preflight gives, and the codes of
// the recorder's own errors (domain kProgramErrorDomain).
namespace lumewell::recorder::errors {

// Method-call error codes.
inline constexpr char kBadArgs[] = "bad_args";
inline constexpr char kPermissionDenied[] = "permission_denied";
inline constexpr char kStartFailed[] = "start_failed";
inline constexpr char kPauseFailed[] = "pause_failed";
inline constexpr char kResumeFailed[] = "resume_failed";
inline constexpr char kStopFailed[] = "stop_failed";
inline constexpr char kAssembleFailed[] = "assemble_failed";

// Messages of failed method calls.
inline constexpr char kMissingStartArguments[] = "Missing start recording arguments.";
inline constexpr char kMissingRecordingId[] = "Missing recordingId.";
inline constexpr char kInvalidRecordingId[] = "Invalid recordingId.";
inline constexpr char kMissingAppSource[] = "Missing desktop app audio source.";
inline constexpr char kMicrophoneNeeded[] =
    "Microphone access is required before recording can start.";
inline constexpr char kStartFailedText[] = "Failed to start recording.";
inline constexpr char kPauseFailedText[] = "Failed to pause recording.";
inline constexpr char kNothingToResume[] = "No paused recording session is available to resume.";
inline constexpr char kResumeFailedText[] = "Failed to resume recording.";
inline constexpr char kStopFailedText[] = "Failed to stop recording.";
inline constexpr char kAssembleArgsMissing[] =
    "segmentPaths and outputPath are required to assemble a recording.";
inline constexpr char kNoSegmentPaths[] =
    "At least one segment path is required to assemble a recording.";
inline constexpr char kPrepareOutputFailed[] = "Failed to prepare assembled audio output.";
inline constexpr char kCopyOutputFailed[] = "Failed to copy assembled audio output.";
inline constexpr char kAssembleFailedText[] = "Failed to assemble the recording.";

// Events: an "error" event's message starts with this; a "source_lost" event names this
// source when the start named none.
inline constexpr char kRotationFailedPrefix[] = "Failed to rotate recording segment: ";
inline constexpr char kUnnamedSource[] = "Desktop audio source";

// Preflight reasons and storage warnings.
inline constexpr char kDiskCriticallyLow[] =
    "Free disk space is critically low. Lumewell Recorder needs room for local segments and the "
    "assembled upload file.";
inline constexpr char kDiskLow[] =
    "Free disk space is low. Long sessions temporarily duplicate audio during upload preparation.";
inline constexpr char kNoRoomToStart[] = "Not enough free disk space to safely start a recording.";
inline constexpr char kMicrophoneBlocked[] =
    "Microphone access is required. Enable it in System Settings > Privacy & Security > "
    "Microphone.";
inline constexpr char kMicrophoneDenied[] = "Microphone access was denied.";
inline constexpr char kMicrophoneUnknown[] = "Unable to determine microphone permission state.";
inline constexpr char kPickAppSource[] = "Pick a desktop app audio source before recording.";
inline constexpr char kAppSourceGone[] =
    "The selected desktop app is no longer available to capture.";
inline constexpr char kAppSourceInvalid[] = "The selected desktop app audio source is invalid.";

// The recorder's own errors (domain kProgramErrorDomain), code and text.
inline constexpr int kRecorderNotRecording = 2;
inline constexpr char kRecorderNotRecordingText[] =
    "AVAudioRecorder failed to enter the recording state.";
inline constexpr int kAppCaptureFailed = 20;
inline constexpr char kAppCaptureFailedText[] = "Failed to start desktop app audio capture.";

}  // namespace lumewell::recorder::errors
