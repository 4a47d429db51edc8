#pragma once

#include <pulse/pulseaudio.h>

#include <chrono>
#include <functional>
#include <string>

#include "runtime/error.h"

namespace lumewell::pulse {

// Errors of the sound server: domain "PulseAudio", the PA_ERR_* code, pa_strerror's text.
inline constexpr const char* kPulseErrorDomain = "PulseAudio";
Error pulseError(int paError);

// Every wait on the server ends after this long at the latest.
inline constexpr std::chrono::milliseconds kServerTimeout{5000};

// The process's one connection to the sound server: a pa_threaded_mainloop started on first
// use and a context connected lazily. A context that failed (server gone) is replaced by a
// fresh one at the next connect(), so a server that comes back is used again.
class PulseConnection {
 public:
  static PulseConnection& shared();

  // Ensures a ready context; the error carries the server's own text. Never waits longer
  // than timeout. Must not be called with the lock held.
  OptionalError connect(std::chrono::milliseconds timeout = kServerTimeout);

  // The main loop lock; every pa_* call on the context or its streams happens under it.
  class Lock {
   public:
    explicit Lock(PulseConnection& connection);
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    pa_threaded_mainloop* mainloop_;
  };

  // With the lock held: the ready context, or null when there is none.
  pa_context* readyContextLocked();
  // With the lock held: waits until done() or until timeout passed; returns done().
  // Callbacks wake waiters with signalLocked().
  bool waitLocked(const std::function<bool()>& done,
                  std::chrono::milliseconds timeout = kServerTimeout);
  void signalLocked();
  pa_threaded_mainloop* mainloop() { return mainloop_; }

 private:
  PulseConnection();
  static void onContextState(pa_context* context, void* self);

  pa_threaded_mainloop* mainloop_ = nullptr;
  pa_context* context_ = nullptr;
};

}  // namespace lumewell::pulse
