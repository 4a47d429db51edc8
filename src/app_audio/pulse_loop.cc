#include "app_audio/pulse_loop.h"

#include "app_audio/catalogue_rules.h"

#include <algorithm>

namespace lumewell::app_audio {
namespace {

void signalOnStateChange(pa_context*, void* userdata) {
  pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(userdata), 0);
}

}  // namespace

Result<std::unique_ptr<PulseLoop>> PulseLoop::connect(const std::string& server,
                                                      const std::string& clientName,
                                                      std::optional<Deadline> deadline) {
  std::unique_ptr<PulseLoop> loop(new PulseLoop);
  loop->deadline_ = deadline;
  loop->mainloop_ = pa_threaded_mainloop_new();
  if (loop->mainloop_ == nullptr)
    return pulseError(PA_ERR_INTERNAL, "Cannot create a sound server loop");
  pa_proplist* props = pa_proplist_new();
  pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, clientName.c_str());
  loop->context_ = pa_context_new_with_proplist(loop->api(), clientName.c_str(), props);
  pa_proplist_free(props);
  if (loop->context_ == nullptr)
    return pulseError(PA_ERR_INTERNAL, "Cannot create a sound server context");
  pa_context_set_state_callback(loop->context_, &signalOnStateChange, loop->mainloop_);
  if (pa_context_connect(loop->context_, server.empty() ? nullptr : server.c_str(),
                         PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    return loop->lastError();
  }
  PulseLock lock(*loop);
  if (pa_threaded_mainloop_start(loop->mainloop_) < 0) {
    return pulseError(PA_ERR_INTERNAL, "Cannot start the sound server loop");
  }
  pa_context* c = loop->context_;
  loop->waitFor([c] {
    return !PA_CONTEXT_IS_GOOD(pa_context_get_state(c)) ||
           pa_context_get_state(c) == PA_CONTEXT_READY;
  });
  pa_context_state_t state = pa_context_get_state(c);
  if (state == PA_CONTEXT_READY) return loop;
  if (PA_CONTEXT_IS_GOOD(state))
    return pulseError(PA_ERR_TIMEOUT, "The sound server did not answer");
  return loop->lastError();
}

PulseLoop::~PulseLoop() {
  if (mainloop_ != nullptr) pa_threaded_mainloop_stop(mainloop_);
  if (context_ != nullptr) {
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_set_subscribe_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
  }
  if (mainloop_ != nullptr) pa_threaded_mainloop_free(mainloop_);
}

bool PulseLoop::waitFor(const std::function<bool()>& done) {
  struct Deadline {
    pa_threaded_mainloop* mainloop;
    bool passed = false;
  } deadline{mainloop_};
  pa_usec_t within = kTimeoutUsec;
  if (deadline_) {
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(
        *deadline_ - std::chrono::steady_clock::now());
    within = std::min<pa_usec_t>(within, left.count() > 0 ? pa_usec_t(left.count()) : 0);
  }
  timeval tv;
  pa_timeval_add(pa_gettimeofday(&tv), within);
  pa_mainloop_api* a = api();
  pa_time_event* timer = a->time_new(
      a, &tv,
      [](pa_mainloop_api*, pa_time_event*, const timeval*, void* userdata) {
        auto* d = static_cast<Deadline*>(userdata);
        d->passed = true;
        pa_threaded_mainloop_signal(d->mainloop, 0);
      },
      &deadline);
  while (!done() && !deadline.passed) wait();
  a->time_free(timer);
  return done();
}

bool PulseLoop::await(pa_operation* op) {
  if (op == nullptr) return false;
  if (!waitFor([op] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; })) {
    pa_operation_cancel(op);
    pa_operation_unref(op);
    return false;
  }
  bool done = pa_operation_get_state(op) == PA_OPERATION_DONE;
  pa_operation_unref(op);
  return done;
}

Error PulseLoop::lastError(const std::string& context) const {
  int code = context_ != nullptr ? pa_context_errno(context_) : PA_ERR_INTERNAL;
  if (code == PA_OK) code = PA_ERR_CONNECTIONTERMINATED;
  return pulseError(code, context);
}

}  // namespace lumewell::app_audio
