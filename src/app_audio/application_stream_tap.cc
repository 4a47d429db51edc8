#include "app_audio/application_stream_tap.h"

#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <glib.h>

#include <cerrno>

#include "app_audio/catalogue_rules.h"
#include "app_audio/server_state_reader.h"

namespace lumewell::app_audio {
namespace {

constexpr size_t kFrameBytes = sizeof(float) * ApplicationStreamTap::kChannels;
// About 50 ms per read: both servers default a record fragment to ~2 s otherwise. Shorter
// pieces gain nothing (the mix holds a 100 ms cushion) but wake-ups, here and on the
// application's output device, which runs at the latency its monitors ask for.
constexpr uint32_t kFragmentBytes = ApplicationStreamTap::kRate / 20 * kFrameBytes;
// Holes larger than this are not silence worth writing (the stream stalled for long).
constexpr size_t kMaxHoleBytes = ApplicationStreamTap::kRate * 10 * kFrameBytes;
constexpr const char* kStreamName = "Lumewell Recorder app audio";
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

ApplicationStreamTap::ApplicationStreamTap(int32_t processId,
                                           std::shared_ptr<const ProcessTable> processes,
                                           Callbacks callbacks)
    : processId_(processId),
      processes_(std::move(processes)),
      callbacks_(std::move(callbacks)),
      connection_(pulse::PulseConnection::shared()) {}

ApplicationStreamTap::~ApplicationStreamTap() {
  close();
  if (pidfd_ >= 0) ::close(pidfd_);
}

OptionalError ApplicationStreamTap::open() {
  {
    std::lock_guard guard(openMutex_);
    if (closed_) return std::nullopt;
  }
  if (processId_ <= 0) return sourceUnavailableError();
  pidfd_ = openPidfd(processId_);
  if (pidfd_ < 0 && (errno == ESRCH || errno == EINVAL)) return sourceUnavailableError();
  if (pidfd_ < 0 && processGone(processId_)) return sourceUnavailableError();

  if (auto error = connection_.connect()) return pulseError(error->code);
  std::lock_guard guard(openMutex_);
  if (closed_) return std::nullopt;  // closed meanwhile; nobody hears the answer
  pulse::PulseLock lock(connection_);
  pa_context* context = connection_.readyContextLocked();
  if (context == nullptr || !connection_.addWatcherLocked(this)) {
    return pulseError(connection_.errorCodeLocked(), "Cannot watch the sound server's streams");
  }
  watching_ = true;
  if (!connection_.awaitLocked(pa_context_get_sink_input_info_list(
          context, &ApplicationStreamTap::onSinkInputInfo, this))) {
    return pulseError(connection_.errorCodeLocked(), "Cannot list the sound server's streams");
  }
  watchProcessExit();
  return std::nullopt;
}

void ApplicationStreamTap::close() {
  std::lock_guard guard(openMutex_);
  closed_ = true;
  if (!watching_) return;
  watching_ = false;
  pulse::PulseLock lock(connection_);
  connection_.removeWatcherLocked(this);
  while (!captures_.empty()) endCapture(captures_.begin()->first);
  // Cancelled under the lock: their callbacks (which point at this and at requests_) never
  // run after this.
  for (pa_operation* operation : inFlight_) {
    if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) pa_operation_cancel(operation);
    pa_operation_unref(operation);
  }
  inFlight_.clear();
  requests_.clear();
  pa_mainloop_api* api = connection_.apiLocked();
  if (exitWatch_ != nullptr) api->io_free(exitWatch_);
  if (exitPoll_ != nullptr) api->time_free(exitPoll_);
  exitWatch_ = nullptr;
  exitPoll_ = nullptr;
}

// A null operation is a request the connection could not send: it is going away, and its
// loss reaches onConnectionLost.
void ApplicationStreamTap::track(pa_operation* operation) {
  if (operation == nullptr) return;
  std::erase_if(inFlight_, [](pa_operation* o) {
    if (pa_operation_get_state(o) == PA_OPERATION_RUNNING) return false;
    pa_operation_unref(o);
    return true;
  });
  inFlight_.push_back(operation);
}

void ApplicationStreamTap::reportLost(std::string reason) {
  if (lostReported_) return;
  lostReported_ = true;
  if (callbacks_.lost) callbacks_.lost(std::move(reason));
}

void ApplicationStreamTap::watchProcessExit() {
  pa_mainloop_api* api = connection_.apiLocked();
  if (pidfd_ >= 0) {
    exitWatch_ =
        api->io_new(api, pidfd_, PA_IO_EVENT_INPUT, &ApplicationStreamTap::onProcessExit, this);
  } else {
    timeval when;
    pa_timeval_add(pa_gettimeofday(&when), kExitPollUsec);
    exitPoll_ = api->time_new(api, &when, &ApplicationStreamTap::onExitPoll, this);
  }
}

void ApplicationStreamTap::onProcessExit(pa_mainloop_api* api, pa_io_event* event, int,
                                         pa_io_event_flags_t, void* self) {
  auto* tap = static_cast<ApplicationStreamTap*>(self);
  api->io_free(event);
  tap->exitWatch_ = nullptr;
  tap->reportLost(kSourceUnavailableMessage);
}

void ApplicationStreamTap::onExitPoll(pa_mainloop_api* api, pa_time_event* event, const timeval*,
                                      void* self) {
  auto* tap = static_cast<ApplicationStreamTap*>(self);
  if (processGone(tap->processId_)) {
    api->time_free(event);
    tap->exitPoll_ = nullptr;
    tap->reportLost(kSourceUnavailableMessage);
    return;
  }
  timeval when;
  pa_timeval_add(pa_gettimeofday(&when), kExitPollUsec);
  api->time_restart(event, &when);
}

void ApplicationStreamTap::onConnectionLost(int paError) {
  reportLost(pulseError(paError, "Lost the connection to the sound server").localizedDescription);
}

void ApplicationStreamTap::onPlaybackStreamEvent(pa_subscription_event_type_t type,
                                                 uint32_t index) {
  if ((type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_REMOVE) {
    endCapture(index);
    return;
  }
  lookUpPlayback(index);  // new, or changed (it may have moved to another sink)
}

void ApplicationStreamTap::lookUpPlayback(uint32_t sinkInput) {
  if (pa_context* context = connection_.readyContextLocked()) {
    track(pa_context_get_sink_input_info(context, sinkInput, &ApplicationStreamTap::onSinkInputInfo,
                                         this));
  }
}

void ApplicationStreamTap::onSinkInputInfo(pa_context* context, const pa_sink_input_info* info,
                                           int eol, void* self) {
  auto* tap = static_cast<ApplicationStreamTap*>(self);
  if (eol != 0) {  // the end of the list, or (eol < 0) a failed lookup: nothing to record
    tap->connection_.signalLocked();
    return;
  }
  if (info == nullptr) return;
  auto pid = processIdProperty(info->proplist);
  if (!pid && info->client != PA_INVALID_INDEX) {
    // A stream without a process of its own belongs to its client's process.
    auto& request = tap->requests_.emplace_back(Request{tap, info->index, info->sink});
    pa_operation* operation = pa_context_get_client_info(
        context, info->client, &ApplicationStreamTap::onClientInfo, &request);
    if (operation == nullptr) tap->requests_.pop_back();
    tap->track(operation);
    return;
  }
  if (!pid || !belongsToApplication(*tap->processes_, *pid, tap->processId_)) return;
  tap->capturePlayback(info->index, info->sink);
}

void ApplicationStreamTap::onClientInfo(pa_context*, const pa_client_info* info, int eol,
                                        void* request) {
  auto* req = static_cast<Request*>(request);
  ApplicationStreamTap* tap = req->tap;
  if (eol != 0) {
    tap->requests_.remove_if([req](const Request& r) { return &r == req; });
    return;
  }
  if (info == nullptr) return;
  auto pid = processIdProperty(info->proplist);
  if (pid && belongsToApplication(*tap->processes_, *pid, tap->processId_)) {
    tap->capturePlayback(req->sinkInput, req->sink);
  }
}

// Records a playback stream of the application (again, on its new sink, if it moved).
void ApplicationStreamTap::capturePlayback(uint32_t sinkInput, uint32_t sink) {
  auto it = captures_.find(sinkInput);
  if (it != captures_.end()) {
    if (it->second.sink == sink) return;
    endCapture(sinkInput);  // moved: follow it to the new sink's monitor
  }
  pa_context* context = connection_.readyContextLocked();
  if (context == nullptr) return;
  auto& request = requests_.emplace_back(Request{this, sinkInput, sink});
  pa_operation* operation =
      pa_context_get_sink_info_by_index(context, sink, &ApplicationStreamTap::onSinkInfo, &request);
  if (operation == nullptr) requests_.pop_back();
  track(operation);
}

void ApplicationStreamTap::onSinkInfo(pa_context*, const pa_sink_info* info, int eol,
                                      void* request) {
  auto* req = static_cast<Request*>(request);
  ApplicationStreamTap* tap = req->tap;
  if (eol == 0) {
    if (info != nullptr) tap->createCapture(req->sinkInput, info->index, info->monitor_source);
    return;
  }
  tap->requests_.remove_if([req](const Request& r) { return &r == req; });
}

void ApplicationStreamTap::createCapture(uint32_t sinkInput, uint32_t sink,
                                         uint32_t monitorSource) {
  if (captures_.count(sinkInput) != 0 || monitorSource == PA_INVALID_INDEX) return;
  pa_context* context = connection_.readyContextLocked();
  if (context == nullptr) return;
  pa_sample_spec sampleSpec{PA_SAMPLE_FLOAT32NE, kRate, kChannels};
  pa_stream* stream = pa_stream_new(context, kStreamName, &sampleSpec, nullptr);
  // The server refused a stream (it is going away): the loss of the connection reports it.
  if (stream == nullptr) return;
  if (pa_stream_set_monitor_stream(stream, sinkInput) < 0) {
    pa_stream_unref(stream);
    return;
  }
  pa_stream_set_read_callback(stream, &ApplicationStreamTap::onRead, this);
  pa_stream_set_state_callback(stream, &ApplicationStreamTap::onStreamState, this);
  // The server's defaults for maxlength, tlength, prebuf and minreq; our fragment size.
  const pa_buffer_attr attr{UINT32_MAX, UINT32_MAX, UINT32_MAX, UINT32_MAX, kFragmentBytes};
  const std::string device = std::to_string(monitorSource);
  // Never moved by the server: when the stream's sink changes we follow it ourselves.
  auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
  if (pa_stream_connect_record(stream, device.c_str(), &attr, flags) < 0) {
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_unref(stream);
    return;
  }
  captures_[sinkInput] = Capture{stream, nextCaptureId_++, sink};
}

// Drops the record stream of a playback stream; the mix stops waiting for it.
void ApplicationStreamTap::endCapture(uint32_t sinkInput) {
  auto it = captures_.find(sinkInput);
  if (it == captures_.end()) return;
  pa_stream* stream = it->second.stream;
  const uint64_t id = it->second.id;
  captures_.erase(it);
  pa_stream_set_read_callback(stream, nullptr, nullptr);
  pa_stream_set_state_callback(stream, nullptr, nullptr);
  if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) pa_stream_disconnect(stream);
  pa_stream_unref(stream);
  if (callbacks_.ended) callbacks_.ended(id);
}

uint32_t ApplicationStreamTap::sinkInputOf(pa_stream* stream, uint64_t* id) const {
  for (const auto& [sinkInput, capture] : captures_) {
    if (capture.stream == stream) {
      if (id != nullptr) *id = capture.id;
      return sinkInput;
    }
  }
  return PA_INVALID_INDEX;
}

void ApplicationStreamTap::onStreamState(pa_stream* stream, void* self) {
  auto* tap = static_cast<ApplicationStreamTap*>(self);
  if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) return;
  // The server ends a monitor when its playback stream ends or moves. Drop ours and look
  // again: a moved stream is picked up on its new sink, an ended one is simply gone.
  const uint32_t sinkInput = tap->sinkInputOf(stream, nullptr);
  if (sinkInput == PA_INVALID_INDEX) return;
  tap->endCapture(sinkInput);
  tap->lookUpPlayback(sinkInput);
}

void ApplicationStreamTap::onRead(pa_stream* stream, size_t, void* self) {
  auto* tap = static_cast<ApplicationStreamTap*>(self);
  uint64_t id = 0;
  if (tap->sinkInputOf(stream, &id) == PA_INVALID_INDEX) return;
  std::vector<float> pcm;
  while (pa_stream_readable_size(stream) > 0) {
    const void* data = nullptr;
    size_t bytes = 0;
    if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) break;
    const size_t frames = bytes / kFrameBytes;
    if (data != nullptr) {
      const auto* samples = static_cast<const float*>(data);
      pcm.insert(pcm.end(), samples, samples + frames * kChannels);
    } else if (bytes <= kMaxHoleBytes) {
      pcm.resize(pcm.size() + frames * kChannels, 0.0f);  // a hole: silence keeps the time line
    }
    pa_stream_drop(stream);
  }
  if (!pcm.empty() && tap->callbacks_.audio) {
    tap->callbacks_.audio(id, g_get_monotonic_time(), std::move(pcm));
  }
}

}  // namespace lumewell::app_audio
