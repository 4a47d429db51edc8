#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

namespace lumewell {

using WallClock = std::chrono::system_clock;
using TimePoint = WallClock::time_point;
using Duration = std::chrono::nanoseconds;

// A timer armed on a Scheduler. Destroying the handle or calling invalidate() stops it;
// after that its callback never runs again.
class Timer {
 public:
  virtual ~Timer() = default;
  virtual void invalidate() = 0;
  virtual bool isValid() const = 0;
};

// The main thread's services: the wall clock, timers on the main loop, and a thread-safe hop
// onto the main thread. The real one runs on the GLib main loop; tests use VirtualScheduler,
// whose clock only moves when the test says so.
class Scheduler {
 public:
  virtual ~Scheduler() = default;

  virtual TimePoint now() const = 0;
  // Monotonic time, for elapsed-time measurements that must not jump with the wall clock.
  virtual Duration monotonicNow() const = 0;

  // Runs fn on the main thread, later, in FIFO order. Callable from any thread.
  virtual void post(std::function<void()> fn) = 0;

  // One-shot or repeating timer on the main thread. The callback runs while the returned
  // handle is alive and valid.
  virtual std::unique_ptr<Timer> startTimer(Duration interval, bool repeating,
                                            std::function<void()> fn) = 0;

  std::unique_ptr<Timer> oneShot(Duration interval, std::function<void()> fn) {
    return startTimer(interval, false, std::move(fn));
  }
  std::unique_ptr<Timer> repeating(Duration interval, std::function<void()> fn) {
    return startTimer(interval, true, std::move(fn));
  }
};

// A main-thread object as a completion on any thread holds it: weakly, and locked only on the
// main thread, so no other thread touches it or becomes its last owner. The scheduler
// outlives every reference.
template <typename T>
class MainThreadRef {
 public:
  MainThreadRef(Scheduler& scheduler, std::weak_ptr<T> target)
      : scheduler_(&scheduler), target_(std::move(target)) {}

  // Runs fn(T&) on the main thread later if the object still exists then, and ifGone (when
  // given) otherwise. Callable from any thread.
  template <typename Fn>
  void post(Fn fn, std::function<void()> ifGone = nullptr) const {
    scheduler_->post([target = target_, fn = std::move(fn), ifGone = std::move(ifGone)]() mutable {
      if (auto self = target.lock()) {
        fn(*self);
      } else if (ifGone) {
        ifGone();
      }
    });
  }

 private:
  Scheduler* scheduler_;
  std::weak_ptr<T> target_;
};

// Seconds as a floating-point interval (the unit the session fields use).
inline Duration secondsToDuration(double seconds) {
  return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(seconds));
}

}  // namespace lumewell
