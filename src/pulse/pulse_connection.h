#pragma once

#include <pulse/pulseaudio.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "runtime/error.h"

namespace lumewell::pulse {

// Errors of the sound server: domain "PulseAudio", the PA_ERR_* code, pa_strerror's text
// (after "context: " when one is given).
inline constexpr const char* kPulseErrorDomain = "PulseAudio";
Error pulseError(int paError, const std::string& context = {});

// Every wait on the server ends after this long at the latest.
inline constexpr std::chrono::milliseconds kServerTimeout{5000};

// The process's one connection to the sound server, shared by the microphone, the
// application capture and the catalogue: a pa_threaded_mainloop started on first use and a
// context connected lazily (the host starts connecting at launch, in the background). A
// context that failed (server gone) is replaced by a fresh one at the next connect(), so a
// server that comes back is used again. The server is the default one (PULSE_SERVER or the
// user's session server).
class PulseConnection {
 public:
  static PulseConnection& shared();

  // Hears of the server's playback streams (sink inputs) and of the loss of the connection,
  // on the libpulse thread with the lock held.
  class Watcher {
   public:
    virtual ~Watcher() = default;
    virtual void onPlaybackStreamEvent(pa_subscription_event_type_t type, uint32_t index) = 0;
    virtual void onConnectionLost(int paError) = 0;
  };

  // Ensures a ready context; the error carries the server's own text. Never waits longer
  // than timeout. Must not be called with the lock held.
  OptionalError connect(std::chrono::milliseconds timeout = kServerTimeout);
  // Starts connecting on a thread of its own and returns at once, so that the host's launch
  // never waits for the server; whoever calls connect() meanwhile shares its outcome.
  void connectInBackground();

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
  // With the lock held: waits until the operation is done and releases it. False when it
  // could not be started (null), was cancelled (the connection died) or outlasted timeout;
  // then it is cancelled, so its callback never runs once this returns.
  bool awaitLocked(pa_operation* operation, std::chrono::milliseconds timeout = kServerTimeout);
  // With the lock held: the context's last error code, PA_ERR_CONNECTIONTERMINATED when
  // there is no context or it recorded none.
  int errorCodeLocked() const;
  // With the lock held and a ready context: from now on the watcher hears of playback stream
  // events and of the loss of this context. False when the server refused the subscription.
  bool addWatcherLocked(Watcher* watcher);
  // With the lock held: no call reaches the watcher after this.
  void removeWatcherLocked(Watcher* watcher);
  pa_mainloop_api* apiLocked() { return pa_threaded_mainloop_get_api(mainloop_); }

 private:
  PulseConnection();
  static void onContextState(pa_context* context, void* self);
  static void onSubscription(pa_context* context, pa_subscription_event_type_t type, uint32_t index,
                             void* self);
  void dropContextLocked();
  // With the lock held: calls each registered watcher once.
  void notifyWatchers(const std::function<void(Watcher&)>& call);

  pa_threaded_mainloop* mainloop_ = nullptr;
  pa_context* context_ = nullptr;
  std::vector<Watcher*> watchers_;
  bool subscribed_ = false;  // the current context reports playback stream events
  bool lostReported_ = false;
  bool connecting_ = false;  // a connect() is waiting for the server's answer
  int lastConnectError_ = PA_OK;
};

// The connection's lock as a scope, for code that holds the connection by reference.
using PulseLock = PulseConnection::Lock;

}  // namespace lumewell::pulse
