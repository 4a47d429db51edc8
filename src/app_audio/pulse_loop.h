#pragma once

#include <pulse/pulseaudio.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "runtime/error.h"

namespace lumewell::app_audio {

// One libpulse connection with its own thread (pa_threaded_mainloop). Everything touching the
// context or its streams runs with the loop locked, or inside a libpulse callback.
class PulseLoop {
 public:
  using Deadline = std::chrono::steady_clock::time_point;

  // Connects and waits until the context is ready or has failed. server empty: the default
  // server. With a deadline, no wait of this loop (the connect included) goes past it.
  // Must not be called on a libpulse thread.
  static Result<std::unique_ptr<PulseLoop>> connect(const std::string& server,
                                                    const std::string& clientName,
                                                    std::optional<Deadline> deadline = {});
  ~PulseLoop();
  PulseLoop(const PulseLoop&) = delete;
  PulseLoop& operator=(const PulseLoop&) = delete;

  pa_threaded_mainloop* mainloop() const { return mainloop_; }
  pa_context* context() const { return context_; }
  pa_mainloop_api* api() const { return pa_threaded_mainloop_get_api(mainloop_); }

  void lock() { pa_threaded_mainloop_lock(mainloop_); }
  void unlock() { pa_threaded_mainloop_unlock(mainloop_); }
  // With the lock held: sleeps until a callback signals.
  void wait() { pa_threaded_mainloop_wait(mainloop_); }
  void signal() { pa_threaded_mainloop_signal(mainloop_, 0); }
  // With the lock held: waits for the operation to finish and releases it. False when it
  // was cancelled (the connection died) or the server did not answer within kTimeoutUsec.
  bool await(pa_operation* op);
  // With the lock held: waits until done() holds or kTimeoutUsec passed; returns done().
  bool waitFor(const std::function<bool()>& done);

  // No wait on the server lasts longer than this.
  static constexpr pa_usec_t kTimeoutUsec = 5 * PA_USEC_PER_SEC;

  // The context's last error as an Error.
  Error lastError(const std::string& context = {}) const;

 private:
  PulseLoop() = default;
  pa_threaded_mainloop* mainloop_ = nullptr;
  pa_context* context_ = nullptr;
  std::optional<Deadline> deadline_;
};

class PulseLock {
 public:
  explicit PulseLock(PulseLoop& loop) : loop_(loop) { loop_.lock(); }
  ~PulseLock() { loop_.unlock(); }
  PulseLock(const PulseLock&) = delete;
  PulseLock& operator=(const PulseLock&) = delete;

 private:
  PulseLoop& loop_;
};

}  // namespace lumewell::app_audio
