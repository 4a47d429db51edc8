#include "app_audio/app_audio_capture_session.h"

#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <glib.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <list>
#include <map>
#include <mutex>
#include <vector>

#include "app_audio/arrival_mixer.h"
#include "app_audio/catalogue_rules.h"
#include "app_audio/pulse_loop.h"
#include "app_audio/server_state_reader.h"
#include "runtime/glib_scheduler.h"
#include "runtime/serial_executor.h"

namespace lumewell::app_audio {
namespace {

constexpr int kRate = 48000;
constexpr int kChannels = 2;
constexpr size_t kFrameBytes = sizeof(float) * kChannels;
// A stream that went quiet holds back the mix for at most this long: the feed mixes what it
// gets into a running recording, where audio held back longer would come too late.
constexpr int64_t kHorizonFrames = kRate / 4;
// About 20 ms per read: both servers default a record fragment to ~2 s otherwise.
constexpr uint32_t kFragmentBytes = kRate / 50 * kFrameBytes;
// Holes larger than this are not silence worth writing (the stream stalled for long).
constexpr size_t kMaxHoleBytes = kRate * 10 * kFrameBytes;
constexpr const char* kClientName = "Lumewell Recorder app audio";
constexpr pa_usec_t kExitPollUsec = 500 * 1000;

int openPidfd(int32_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  errno = ENOSYS;
  return -1;
#endif
}

bool processGone(int32_t pid) { return ::kill(pid, 0) < 0 && errno == ESRCH; }

}  // namespace

struct LumewellAppAudioCaptureSession::Core
    : std::enable_shared_from_this<LumewellAppAudioCaptureSession::Core> {
  Core(recorder::AppAudioTarget t, std::shared_ptr<recorder::AppAudioFeed> f,
       std::function<void(std::string)> handler, CaptureSessionOptions o)
      : target(std::move(t)),
        feed(std::move(f)),
        unexpectedStopHandler(std::move(handler)),
        options(std::move(o)),
        scheduler(options.scheduler != nullptr ? options.scheduler : &mainScheduler()),
        processes(options.processes ? options.processes : std::make_shared<ProcProcessTable>()) {}

  // The executor, the last member, goes first: it runs what is queued (a pending stop
  // hands on the last audio) while everything it touches still exists.
  ~Core() {
    teardownPulse();
    if (pidfd >= 0) ::close(pidfd);
  }

  // ---- fixed at creation ----
  const recorder::AppAudioTarget target;
  const std::shared_ptr<recorder::AppAudioFeed> feed;
  const std::function<void(std::string)> unexpectedStopHandler;
  const CaptureSessionOptions options;
  Scheduler* const scheduler;
  const std::shared_ptr<const ProcessTable> processes;

  // ---- main thread, read elsewhere ----
  std::atomic<bool> cancelled{false};
  std::atomic<bool> stopRequested{false};
  std::atomic<bool> unexpectedReported{false};

  // ---- the libpulse side: guarded by loopMutex to set/clear, by the loop's lock to use ----
  std::mutex loopMutex;
  bool closed = false;
  std::unique_ptr<PulseLoop> loop;
  struct Capture {
    pa_stream* stream = nullptr;
    uint64_t id = 0;
    uint32_t sink = PA_INVALID_INDEX;
  };
  std::map<uint32_t, Capture> captures;  // by playback stream (sink input) index
  uint64_t nextCaptureId = 1;
  bool tearingDown = false;
  int pidfd = -1;
  pa_io_event* exitWatch = nullptr;
  pa_time_event* exitPoll = nullptr;
  int64_t t0Us = 0;  // g_get_monotonic_time() at the start: frame 0 of the arrival clock
  // Lookups in flight; freed when answered (or with the session, if the server went away).
  struct Request {
    Core* core;
    uint32_t sinkInput;
    uint32_t sink;
  };
  std::list<Request> requests;

  // ---- the session's serial queue ----
  ArrivalMixer mixer{kChannels};
  bool finished = false;
  std::vector<float> mixed;

  SerialExecutor executor{"app-audio"};

  int32_t targetPid() const {
    return target.processId > 0 && target.processId <= INT32_MAX
               ? static_cast<int32_t>(target.processId)
               : -1;
  }

  int64_t clockFrame() const { return (g_get_monotonic_time() - t0Us) * kRate / 1000000; }

  // ---- start (serial queue) ----

  void runStart(std::function<void(OptionalError)> completion) {
    if (cancelled) return;
    if (feed) feed->restart();
    OptionalError error = startCapture();
    std::weak_ptr<Core> weak = weak_from_this();
    scheduler->post([weak, completion = std::move(completion), error] {
      auto core = weak.lock();
      if (core && !core->cancelled) completion(error);
    });
  }

  OptionalError startCapture() {
    {
      std::lock_guard guard(loopMutex);
      if (closed) return std::nullopt;  // stopped or torn down before the start ran
    }
    const int32_t pid = targetPid();
    if (pid <= 0) return sourceUnavailableError();
    pidfd = openPidfd(pid);
    if (pidfd < 0 && (errno == ESRCH || errno == EINVAL)) return sourceUnavailableError();
    if (pidfd < 0 && processGone(pid)) return sourceUnavailableError();

    auto connected = PulseLoop::connect(options.server, kClientName);
    if (!connected) return connected.error();

    std::lock_guard guard(loopMutex);
    if (closed) return std::nullopt;  // cancelled meanwhile; nobody hears the answer
    loop = std::move(connected.value());
    PulseLock lock(*loop);
    t0Us = g_get_monotonic_time();
    pa_context* c = loop->context();
    pa_context_set_state_callback(c, &Core::onContextState, this);
    pa_context_set_subscribe_callback(c, &Core::onSubscribe, this);
    if (!loop->await(
            pa_context_subscribe(c, PA_SUBSCRIPTION_MASK_SINK_INPUT, &Core::onSuccess, this))) {
      return loop->lastError("Cannot watch the sound server's streams");
    }
    if (!loop->await(pa_context_get_sink_input_info_list(c, &Core::onSinkInputInfo, this))) {
      return loop->lastError("Cannot list the sound server's streams");
    }
    watchProcessExit();
    return std::nullopt;
  }

  // ---- libpulse thread (or loop locked) ----

  void watchProcessExit() {
    pa_mainloop_api* api = loop->api();
    if (pidfd >= 0) {
      exitWatch = api->io_new(api, pidfd, PA_IO_EVENT_INPUT, &Core::onProcessExit, this);
    } else {
      timeval tv;
      pa_timeval_add(pa_gettimeofday(&tv), kExitPollUsec);
      exitPoll = api->time_new(api, &tv, &Core::onExitPoll, this);
    }
  }

  static void onProcessExit(pa_mainloop_api* api, pa_io_event* e, int, pa_io_event_flags_t,
                            void* userdata) {
    auto* self = static_cast<Core*>(userdata);
    api->io_free(e);
    self->exitWatch = nullptr;
    self->reportUnexpectedStop(kSourceUnavailableMessage);
  }

  static void onExitPoll(pa_mainloop_api* api, pa_time_event* e, const timeval*, void* userdata) {
    auto* self = static_cast<Core*>(userdata);
    if (processGone(self->targetPid())) {
      api->time_free(e);
      self->exitPoll = nullptr;
      self->reportUnexpectedStop(kSourceUnavailableMessage);
      return;
    }
    timeval tv;
    pa_timeval_add(pa_gettimeofday(&tv), kExitPollUsec);
    api->time_restart(e, &tv);
  }

  static void onContextState(pa_context* c, void* userdata) {
    auto* self = static_cast<Core*>(userdata);
    self->loop->signal();  // a waiting await learns of a dead connection too
    if (self->tearingDown || PA_CONTEXT_IS_GOOD(pa_context_get_state(c))) return;
    self->reportUnexpectedStop(
        pulseError(pa_context_errno(c), "Lost the connection to the sound server")
            .localizedDescription);
  }

  static void onSuccess(pa_context*, int, void* userdata) {
    static_cast<Core*>(userdata)->loop->signal();
  }

  static void onSubscribe(pa_context* c, pa_subscription_event_type_t t, uint32_t index,
                          void* userdata) {
    auto* self = static_cast<Core*>(userdata);
    if (self->tearingDown) return;
    if ((t & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SINK_INPUT) return;
    if ((t & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_REMOVE) {
      self->endCapture(index);
      return;
    }
    // New, or changed (it may have moved to another sink).
    if (pa_operation* op = pa_context_get_sink_input_info(c, index, &Core::onSinkInputInfo, self)) {
      pa_operation_unref(op);
    }
  }

  static void onSinkInputInfo(pa_context* c, const pa_sink_input_info* info, int eol,
                              void* userdata) {
    auto* self = static_cast<Core*>(userdata);
    if (eol != 0) {
      self->loop->signal();
      return;
    }
    if (info == nullptr || self->tearingDown) return;
    auto pid = processIdProperty(info->proplist);
    if (!pid && info->client != PA_INVALID_INDEX) {
      // A stream without a process of its own belongs to its client's process.
      auto& req = self->requests.emplace_back(Request{self, info->index, info->sink});
      if (pa_operation* op =
              pa_context_get_client_info(c, info->client, &Core::onClientInfo, &req)) {
        pa_operation_unref(op);
      } else {
        self->requests.pop_back();
      }
      return;
    }
    if (!pid || !belongsToApplication(*self->processes, *pid, self->targetPid())) return;
    self->capturePlayback(info->index, info->sink);
  }

  static void onClientInfo(pa_context*, const pa_client_info* info, int eol, void* userdata) {
    auto* req = static_cast<Request*>(userdata);
    Core* self = req->core;
    if (eol != 0) {
      self->requests.remove_if([req](const Request& r) { return &r == req; });
      return;
    }
    if (info == nullptr || self->tearingDown) return;
    auto pid = processIdProperty(info->proplist);
    if (pid && belongsToApplication(*self->processes, *pid, self->targetPid())) {
      self->capturePlayback(req->sinkInput, req->sink);
    }
  }

  // Records a playback stream of the application (again, on its new sink, if it moved).
  void capturePlayback(uint32_t sinkInput, uint32_t sink) {
    auto it = captures.find(sinkInput);
    if (it != captures.end()) {
      if (it->second.sink == sink) return;
      endCapture(sinkInput);  // moved: follow it to the new sink's monitor
    }
    auto& req = requests.emplace_back(Request{this, sinkInput, sink});
    if (pa_operation* op =
            pa_context_get_sink_info_by_index(loop->context(), sink, &Core::onSinkInfo, &req)) {
      pa_operation_unref(op);
    } else {
      requests.pop_back();
    }
  }

  static void onSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
    auto* req = static_cast<Request*>(userdata);
    Core* self = req->core;
    if (eol == 0) {
      if (info != nullptr && !self->tearingDown) {
        self->createCapture(req->sinkInput, info->index, info->monitor_source);
      }
      return;
    }
    self->requests.remove_if([req](const Request& r) { return &r == req; });
  }

  void createCapture(uint32_t sinkInput, uint32_t sink, uint32_t monitorSource) {
    if (captures.count(sinkInput) != 0 || monitorSource == PA_INVALID_INDEX) return;
    pa_sample_spec sampleSpec{PA_SAMPLE_FLOAT32NE, kRate, kChannels};
    pa_stream* s = pa_stream_new(loop->context(), kClientName, &sampleSpec, nullptr);
    if (s == nullptr) return;
    if (pa_stream_set_monitor_stream(s, sinkInput) < 0) {
      pa_stream_unref(s);
      return;
    }
    pa_stream_set_read_callback(s, &Core::onRead, this);
    pa_stream_set_state_callback(s, &Core::onStreamState, this);
    pa_buffer_attr attr;
    attr.maxlength = UINT32_MAX;
    attr.tlength = UINT32_MAX;
    attr.prebuf = UINT32_MAX;
    attr.minreq = UINT32_MAX;
    attr.fragsize = kFragmentBytes;
    const std::string device = std::to_string(monitorSource);
    // Never moved by the server: when the stream's sink changes we follow it ourselves.
    auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(s, device.c_str(), &attr, flags) < 0) {
      pa_stream_set_read_callback(s, nullptr, nullptr);
      pa_stream_set_state_callback(s, nullptr, nullptr);
      pa_stream_unref(s);
      return;
    }
    captures[sinkInput] = Capture{s, nextCaptureId++, sink};
  }

  // Drops the record stream of a playback stream; the mixer stops waiting for it.
  void endCapture(uint32_t sinkInput) {
    auto it = captures.find(sinkInput);
    if (it == captures.end()) return;
    pa_stream* s = it->second.stream;
    const uint64_t id = it->second.id;
    captures.erase(it);
    pa_stream_set_read_callback(s, nullptr, nullptr);
    pa_stream_set_state_callback(s, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(s))) pa_stream_disconnect(s);
    pa_stream_unref(s);
    executor.post([this, id] { mixer.endStream(id); });
  }

  uint32_t sinkInputOf(pa_stream* s, uint64_t* id) const {
    for (const auto& [sinkInput, cap] : captures) {
      if (cap.stream == s) {
        if (id != nullptr) *id = cap.id;
        return sinkInput;
      }
    }
    return PA_INVALID_INDEX;
  }

  static void onStreamState(pa_stream* s, void* userdata) {
    auto* self = static_cast<Core*>(userdata);
    pa_stream_state_t state = pa_stream_get_state(s);
    if (self->tearingDown || PA_STREAM_IS_GOOD(state)) return;
    // The server ends a monitor when its playback stream ends or moves. Drop ours and look
    // again: a moved stream is picked up on its new sink, an ended one is simply gone.
    const uint32_t sinkInput = self->sinkInputOf(s, nullptr);
    if (sinkInput == PA_INVALID_INDEX) return;
    self->endCapture(sinkInput);
    if (pa_operation* op = pa_context_get_sink_input_info(self->loop->context(), sinkInput,
                                                          &Core::onSinkInputInfo, self)) {
      pa_operation_unref(op);
    }
  }

  static void onRead(pa_stream* s, size_t, void* userdata) {
    auto* self = static_cast<Core*>(userdata);
    uint64_t id = 0;
    if (self->sinkInputOf(s, &id) == PA_INVALID_INDEX) return;
    std::vector<float> pcm;
    while (pa_stream_readable_size(s) > 0) {
      const void* data = nullptr;
      size_t bytes = 0;
      if (pa_stream_peek(s, &data, &bytes) < 0 || bytes == 0) break;
      const size_t frames = bytes / kFrameBytes;
      if (data != nullptr) {
        const auto* f = static_cast<const float*>(data);
        pcm.insert(pcm.end(), f, f + frames * kChannels);
      } else if (bytes <= kMaxHoleBytes) {
        pcm.resize(pcm.size() + frames * kChannels, 0.0f);  // a hole: silence keeps the time line
      }
      pa_stream_drop(s);
    }
    if (pcm.empty()) return;
    const int64_t arrivalEnd = self->clockFrame();
    self->executor.post(
        [self, id, arrivalEnd, pcm = std::move(pcm)] { self->onAudio(id, arrivalEnd, pcm); });
  }

  void reportUnexpectedStop(std::string reason) {
    if (cancelled || stopRequested || unexpectedReported.exchange(true)) return;
    std::weak_ptr<Core> weak = weak_from_this();
    scheduler->post([weak, reason = std::move(reason)] {
      auto core = weak.lock();
      if (!core || core->cancelled || core->stopRequested) return;
      if (core->unexpectedStopHandler) core->unexpectedStopHandler(reason);
    });
  }

  // Stops every record stream and the connection. Any thread but the loop's.
  void teardownPulse() {
    std::lock_guard guard(loopMutex);
    closed = true;
    if (!loop) return;
    {
      PulseLock lock(*loop);
      tearingDown = true;
      pa_context_set_subscribe_callback(loop->context(), nullptr, nullptr);
      pa_context_set_state_callback(loop->context(), nullptr, nullptr);
      while (!captures.empty()) endCapture(captures.begin()->first);
      pa_mainloop_api* api = loop->api();
      if (exitWatch != nullptr) api->io_free(exitWatch);
      if (exitPoll != nullptr) api->time_free(exitPoll);
      exitWatch = nullptr;
      exitPoll = nullptr;
    }
    loop.reset();
  }

  // ---- serial queue ----

  void onAudio(uint64_t id, int64_t arrivalEnd, const std::vector<float>& pcm) {
    if (cancelled || finished) return;
    mixer.add(id, arrivalEnd, pcm.data(), pcm.size() / kChannels);
    mixed.clear();
    if (mixer.takeReady(clockFrame() - kHorizonFrames, mixed) > 0) handOn();
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
    core->teardownPulse();
    // Behind the audio the streams delivered before they stopped.
    core->executor.post([core, completion = std::move(completion)]() mutable {
      core->finishFeed(std::move(completion));
    });
  });
}

void LumewellAppAudioCaptureSession::cancel() {
  Core* core = core_.get();
  if (core->cancelled.exchange(true)) return;
  core->teardownPulse();
  core->executor.post([core] { core->finished = true; });
  core->executor.drain();
}

}  // namespace lumewell::app_audio
