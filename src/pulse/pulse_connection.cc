#include "pulse/pulse_connection.h"

#include <algorithm>
#include <cstdlib>
#include <thread>

#include "runtime/files.h"

namespace lumewell::pulse {

Error pulseError(int paError, const std::string& context) {
  const char* text = pa_strerror(paError);
  std::string message = text != nullptr ? text : "Unknown sound server error";
  if (!context.empty()) message = context + ": " + message;
  return Error{kPulseErrorDomain, paError, std::move(message)};
}

PulseConnection& PulseConnection::shared() {
  // Never destroyed: streams may still be closing while static destructors run.
  static PulseConnection* connection = new PulseConnection();
  return *connection;
}

PulseConnection::PulseConnection() {
  mainloop_ = pa_threaded_mainloop_new();
  if (mainloop_ == nullptr) std::abort();
  // Named before it starts: on a running loop libpulse renames the calling thread instead, and
  // the process would show as "lumewell-pulse" to ps and pkill.
  pa_threaded_mainloop_set_name(mainloop_, "lumewell-pulse");
  if (pa_threaded_mainloop_start(mainloop_) < 0) std::abort();
}

PulseConnection::Lock::Lock(PulseConnection& connection) : mainloop_(connection.mainloop_) {
  pa_threaded_mainloop_lock(mainloop_);
}

PulseConnection::Lock::~Lock() { pa_threaded_mainloop_unlock(mainloop_); }

void PulseConnection::onContextState(pa_context* context, void* self) {
  auto* connection = static_cast<PulseConnection*>(self);
  connection->signalLocked();  // a waiting await learns of a dead connection too
  if (PA_CONTEXT_IS_GOOD(pa_context_get_state(context)) || connection->lostReported_) return;
  connection->lostReported_ = true;
  const int code = pa_context_errno(context);
  connection->notifyWatchers([code](Watcher& watcher) {
    watcher.onConnectionLost(code != PA_OK ? code : PA_ERR_CONNECTIONTERMINATED);
  });
}

void PulseConnection::notifyWatchers(const std::function<void(Watcher&)>& call) {
  // A watcher may remove itself (or another) while it is called.
  const std::vector<Watcher*> watchers = watchers_;
  for (Watcher* watcher : watchers) {
    if (std::find(watchers_.begin(), watchers_.end(), watcher) != watchers_.end()) call(*watcher);
  }
}

void PulseConnection::onSubscription(pa_context*, pa_subscription_event_type_t type, uint32_t index,
                                     void* self) {
  auto* connection = static_cast<PulseConnection*>(self);
  if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SINK_INPUT) return;
  connection->notifyWatchers(
      [type, index](Watcher& watcher) { watcher.onPlaybackStreamEvent(type, index); });
}

bool PulseConnection::awaitLocked(pa_operation* operation, std::chrono::milliseconds timeout) {
  if (operation == nullptr) return false;
  waitLocked([operation] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; },
             timeout);
  const pa_operation_state_t state = pa_operation_get_state(operation);
  if (state == PA_OPERATION_RUNNING) pa_operation_cancel(operation);
  pa_operation_unref(operation);
  return state == PA_OPERATION_DONE;
}

int PulseConnection::errorCodeLocked() const {
  const int code = context_ != nullptr ? pa_context_errno(context_) : PA_OK;
  return code != PA_OK ? code : PA_ERR_CONNECTIONTERMINATED;
}

bool PulseConnection::addWatcherLocked(Watcher* watcher) {
  pa_context* context = readyContextLocked();
  if (context == nullptr) return false;
  if (!subscribed_) {
    pa_context_set_subscribe_callback(context, &PulseConnection::onSubscription, this);
    if (!awaitLocked(pa_context_subscribe(
            context, PA_SUBSCRIPTION_MASK_SINK_INPUT,
            [](pa_context*, int, void* self) {
              static_cast<PulseConnection*>(self)->signalLocked();
            },
            this))) {
      return false;
    }
    subscribed_ = true;
  }
  if (std::find(watchers_.begin(), watchers_.end(), watcher) == watchers_.end()) {
    watchers_.push_back(watcher);
  }
  return true;
}

void PulseConnection::removeWatcherLocked(Watcher* watcher) {
  watchers_.erase(std::remove(watchers_.begin(), watchers_.end(), watcher), watchers_.end());
}

void PulseConnection::dropContextLocked() {
  pa_context_set_state_callback(context_, nullptr, nullptr);
  pa_context_set_subscribe_callback(context_, nullptr, nullptr);
  pa_context_disconnect(context_);
  pa_context_unref(context_);
  context_ = nullptr;
  subscribed_ = false;
}

void PulseConnection::signalLocked() { pa_threaded_mainloop_signal(mainloop_, 0); }

pa_context* PulseConnection::readyContextLocked() {
  if (context_ != nullptr && pa_context_get_state(context_) == PA_CONTEXT_READY) return context_;
  return nullptr;
}

bool PulseConnection::waitLocked(const std::function<bool()>& done,
                                 std::chrono::milliseconds timeout) {
  if (done()) return true;
  struct Deadline {
    PulseConnection* connection;
    bool passed = false;
  } deadline{this};
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(mainloop_);
  timeval when{};
  pa_gettimeofday(&when);
  pa_timeval_add(&when, static_cast<pa_usec_t>(timeout.count()) * PA_USEC_PER_MSEC);
  pa_time_event* event = api->time_new(
      api, &when,
      [](pa_mainloop_api*, pa_time_event*, const timeval*, void* data) {
        auto* d = static_cast<Deadline*>(data);
        d->passed = true;
        d->connection->signalLocked();
      },
      &deadline);
  while (!done() && !deadline.passed) pa_threaded_mainloop_wait(mainloop_);
  api->time_free(event);
  return done();
}

void PulseConnection::connectInBackground() {
  // The connection is never destroyed, so the thread may outlive everything else.
  // A failure is not reported here: the first recording or query meets it, with its text.
  std::thread([this] { (void)connect(); }).detach();
}

OptionalError PulseConnection::connect(std::chrono::milliseconds timeout) {
  Lock lock(*this);
  // One connect at a time, and only its owner touches the context meanwhile: a caller that
  // finds one in progress (the launch's, say) shares its outcome.
  if (connecting_) {
    waitLocked([this] { return !connecting_; }, timeout);
    if (readyContextLocked() != nullptr) return std::nullopt;
    return pulseError(connecting_ ? PA_ERR_TIMEOUT : lastConnectError_);
  }
  if (readyContextLocked() != nullptr) return std::nullopt;
  // Failed or terminated (the server went away): start over with a fresh context.
  if (context_ != nullptr) dropContextLocked();
  lostReported_ = false;

  pa_proplist* properties = pa_proplist_new();
  pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "Lumewell Recorder");
  pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, kApplicationId);
  context_ = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(mainloop_),
                                          "Lumewell Recorder", properties);
  pa_proplist_free(properties);
  if (context_ == nullptr) return pulseError(PA_ERR_INTERNAL);
  pa_context_set_state_callback(context_, &PulseConnection::onContextState, this);

  connecting_ = true;
  auto done = [this](int code) -> OptionalError {
    connecting_ = false;
    signalLocked();  // callers sharing this connect
    if (code == PA_OK) return std::nullopt;
    lastConnectError_ = code;
    dropContextLocked();
    return pulseError(code);
  };
  // No autospawn: starting a sound server is the desktop's business, not the recorder's.
  if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    return done(pa_context_errno(context_));
  }
  const bool settled = waitLocked(
      [this] {
        const pa_context_state_t state = pa_context_get_state(context_);
        return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
      },
      timeout);
  if (!settled) return done(PA_ERR_TIMEOUT);
  if (pa_context_get_state(context_) != PA_CONTEXT_READY) {
    const int code = pa_context_errno(context_);
    return done(code != PA_OK ? code : PA_ERR_CONNECTIONREFUSED);
  }
  return done(PA_OK);
}

}  // namespace lumewell::pulse
