#pragma once

#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "runtime/scheduler.h"

namespace lumewell {

// A Scheduler whose clock moves only when told. advance() fires every timer that falls due
// in the interval, in due order, with the clock set to each one's due time, running posted
// calls between them. A 30-second rotation thus takes microseconds in a test.
class VirtualScheduler final : public Scheduler {
 public:
  explicit VirtualScheduler(TimePoint start = TimePoint(std::chrono::seconds(1735689600)));
  ~VirtualScheduler() override;

  TimePoint now() const override;
  Duration monotonicNow() const override;
  void post(std::function<void()> fn) override;  // thread-safe
  std::unique_ptr<Timer> startTimer(Duration interval, bool repeating,
                                    std::function<void()> fn) override;

  // Runs posted calls (and those they post) until none is left. Returns how many ran.
  size_t runPending();
  // Moves the clock forward by d, firing due timers and running posted calls on the way.
  void advance(Duration d);
  size_t activeTimerCount() const;

 private:
  struct Entry {
    Duration interval;
    bool repeating;
    std::function<void()> fn;
  };
  // due time, then id: FIFO among timers due at the same moment.
  using Timers = std::map<std::pair<Duration, uint64_t>, Entry>;
  friend class VirtualTimer;
  Timers::iterator find(uint64_t id);
  void cancel(uint64_t id);

  Duration elapsed_{0};
  TimePoint start_;
  uint64_t nextId_ = 1;
  Timers timers_;
  mutable std::mutex postMutex_;
  std::deque<std::function<void()>> posted_;
  std::shared_ptr<bool> alive_;
};

}  // namespace lumewell
