#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "runtime/error.h"

namespace lumewell::media {

// Error codes of the composition (domain "LumewellRecorder"; texts in compositionError).
inline constexpr int kAudioTrackMissing = 11;
inline constexpr int kCompositionTrackFailed = 12;
inline constexpr int kExporterFailed = 13;
inline constexpr int kCompositionCancelled = 14;
inline constexpr int kCompositionUnexpected = 15;

// The error of one of the codes above with its message; path is the input for code 11.
Error compositionError(int code, const std::string& path = {});

// A running composition; cancel() makes it end with error 14 as soon as it can.
class CompositionJob {
 public:
  virtual ~CompositionJob() = default;
  virtual void cancel() = 0;
};

using CompositionCompletion = std::function<void(OptionalError)>;

// Joins the inputs one after another into one AAC .m4a at output. Runs on a worker thread; the
// completion is called exactly once from that worker (callers hop to the main thread). Failures
// found before the work starts may be reported synchronously on the caller's thread (today only: no
// worker thread could be started, error 15). Each input exactly as long as its duration says, no
// gap or overlap; mono 128 kbit/s when every input is mono, else stereo 192 kbit/s; an input
// without audio fails with error 11. The output appears only once complete (written under a hidden
// name beside it, then renamed); an output that is one of the inputs is refused. Inputs and output
// are absolute local paths, the inputs regular MP4/M4A files (openMediaInput); others are refused.
std::shared_ptr<CompositionJob> composeAudio(std::vector<std::string> paths, std::string output,
                                             CompositionCompletion completion);

// Cancels every composition still running and waits until each one's completion has
// returned (host shutdown). Called from a completion, it does not wait for that one.
void cancelAllCompositions();

}  // namespace lumewell::media
