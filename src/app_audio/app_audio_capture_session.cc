#include "app_audio/app_audio_capture_session.h"

#include <glib.h>

#include <atomic>
#include <climits>
#include <vector>

#include "app_audio/application_stream_tap.h"
#include "app_audio/arrival_mixer.h"
#include "runtime/glib_scheduler.h"
#include "runtime/serial_executor.h"

namespace lumewell::app_audio {
namespace {

constexpr int kRate = ApplicationStreamTap::kRate;
constexpr int kChannels = ApplicationStreamTap::kChannels;
// A stream that went quiet holds back the mix for at most this long: the feed mixes what it
// gets into a running recording, where audio held back longer would come too late.
constexpr int64_t kHorizonFrames = kRate / 4;

int32_t processIdOf(const recorder::AppAudioTarget& target) {
  return target.processId > 0 && target.processId <= INT32_MAX
             ? static_cast<int32_t>(target.processId)
             : -1;
}

}  // namespace

// The session's state. start, stop and cancel come from the main thread; the stream tap
// runs on the libpulse thread and only queues work; mixing and feeding run on the session's
// serial queue (executor); completions and the unexpected-stop handler are posted back to
// the main thread.
struct LumewellAppAudioCaptureSession::Core
    : std::enable_shared_from_this<LumewellAppAudioCaptureSession::Core> {
  Core(recorder::AppAudioTarget t, std::shared_ptr<recorder::AppAudioFeed> f,
       std::function<void(std::string)> handler, CaptureSessionOptions o)
      : target(std::move(t)),
        feed(std::move(f)),
        unexpectedStopHandler(std::move(handler)),
        options(std::move(o)),
        scheduler(options.scheduler != nullptr ? options.scheduler : &mainScheduler()),
        tap(processIdOf(target),
            options.processes ? options.processes : std::make_shared<ProcProcessTable>(),
            tapCallbacks()) {}

  // The executor, the last member, goes first: it runs what is queued (a pending stop
  // hands on the last audio) while everything it touches still exists; the tap is closed
  // before that, so nothing new is queued.
  ~Core() { tap.close(); }

  // ---- fixed at creation ----
  const recorder::AppAudioTarget target;
  const std::shared_ptr<recorder::AppAudioFeed> feed;
  const std::function<void(std::string)> unexpectedStopHandler;
  const CaptureSessionOptions options;
  Scheduler* const scheduler;

  // ---- main thread, read elsewhere ----
  std::atomic<bool> cancelled{false};
  std::atomic<bool> stopRequested{false};
  std::atomic<bool> unexpectedReported{false};

  // ---- the libpulse side ----
  ApplicationStreamTap tap;

  // ---- the session's serial queue ----
  int64_t t0Us = 0;  // g_get_monotonic_time() when the tap opened: frame 0 of the arrival clock
  ArrivalMixer mixer{kChannels};
  bool finished = false;
  std::vector<float> mixed;

  SerialExecutor executor{"app-audio"};

  ApplicationStreamTap::Callbacks tapCallbacks() {
    ApplicationStreamTap::Callbacks callbacks;
    callbacks.audio = [this](uint64_t id, int64_t arrivalUs, std::vector<float> pcm) {
      executor.post([this, id, arrivalUs, pcm = std::move(pcm)] { onAudio(id, arrivalUs, pcm); });
    };
    callbacks.ended = [this](uint64_t id) { executor.post([this, id] { mixer.endStream(id); }); };
    callbacks.lost = [this](std::string reason) { reportUnexpectedStop(std::move(reason)); };
    return callbacks;
  }

  int64_t frameAt(int64_t us) const { return (us - t0Us) * kRate / 1000000; }

  // ---- start (serial queue) ----

  void runStart(std::function<void(OptionalError)> completion) {
    if (cancelled) return;
    if (feed) feed->restart();
    // Audio read before open() returns is queued behind this task, so it sees t0Us.
    t0Us = g_get_monotonic_time();
    OptionalError error = tap.open();
    std::weak_ptr<Core> weak = weak_from_this();
    scheduler->post([weak, completion = std::move(completion), error] {
      auto core = weak.lock();
      if (core && !core->cancelled) completion(error);
    });
  }

  // Any thread; the handler runs on the main thread.
  void reportUnexpectedStop(std::string reason) {
    if (cancelled || stopRequested || unexpectedReported.exchange(true)) return;
    std::weak_ptr<Core> weak = weak_from_this();
    scheduler->post([weak, reason = std::move(reason)] {
      auto core = weak.lock();
      if (!core || core->cancelled || core->stopRequested) return;
      if (core->unexpectedStopHandler) core->unexpectedStopHandler(reason);
    });
  }

  // ---- serial queue ----

  void onAudio(uint64_t id, int64_t arrivalUs, const std::vector<float>& pcm) {
    if (cancelled || finished) return;
    mixer.add(id, frameAt(arrivalUs), pcm.data(), pcm.size() / kChannels);
    mixed.clear();
    if (mixer.takeReady(frameAt(g_get_monotonic_time()) - kHorizonFrames, mixed) > 0) handOn();
  }

  void handOn() {
    if (feed && !mixed.empty()) feed->push(mixed.data(), mixed.size() / kChannels);
  }

  void finishFeed(std::function<void(OptionalError)> completion) {
    if (!finished && !cancelled) {
      mixed.clear();
      mixer.takeAll(mixed);
      handOn();
    }
    finished = true;
    scheduler->post([completion = std::move(completion)] { completion(std::nullopt); });
  }
};

LumewellAppAudioCaptureSession::LumewellAppAudioCaptureSession(
    recorder::AppAudioTarget target, std::shared_ptr<recorder::AppAudioFeed> feed,
    std::function<void(std::string)> unexpectedStopHandler, CaptureSessionOptions options)
    : core_(std::make_shared<Core>(std::move(target), std::move(feed),
                                   std::move(unexpectedStopHandler), std::move(options))) {}

LumewellAppAudioCaptureSession::~LumewellAppAudioCaptureSession() {
  // A pending stop still hands on the last audio and completes; anything else is torn down.
  if (!core_->stopRequested) cancel();
}

void LumewellAppAudioCaptureSession::start(std::function<void(OptionalError)> completion) {
  Core* core = core_.get();
  core->executor.post([core, completion = std::move(completion)]() mutable {
    core->runStart(std::move(completion));
  });
}

void LumewellAppAudioCaptureSession::stop(std::function<void(OptionalError)> completion) {
  Core* core = core_.get();
  if (core->stopRequested.exchange(true) || core->cancelled) {
    core->scheduler->post([completion = std::move(completion)] { completion(std::nullopt); });
    return;
  }
  core->executor.post([core, completion = std::move(completion)]() mutable {
    core->tap.close();
    // Behind the audio the streams delivered before they stopped.
    core->executor.post([core, completion = std::move(completion)]() mutable {
      core->finishFeed(std::move(completion));
    });
  });
}

void LumewellAppAudioCaptureSession::cancel() {
  Core* core = core_.get();
  if (core->cancelled.exchange(true)) return;
  core->tap.close();
  core->executor.post([core] { core->finished = true; });
  core->executor.drain();
}

}  // namespace lumewell::app_audio
