#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <mutex>
#include <vector>

#include "runtime/serial_executor.h"

namespace lumewell {

// A query against a service that may be slow or stuck, run on a worker: one at a time, and
// callers that arrive while one runs share the next one (which begins after their call, so
// no caller gets an answer older than its question). The query is given a deadline: its
// earliest caller's arrival plus `within` (at least kLeastTime from its start), and answers
// by then with whatever failure it has. Answers come on the worker. Thread-safe.
template <typename T>
class CoalescedQuery {
 public:
  using Clock = std::chrono::steady_clock;
  using Run = std::function<T(Clock::time_point deadline)>;
  static constexpr std::chrono::milliseconds kLeastTime{250};

  CoalescedQuery(std::string workerName, std::chrono::milliseconds within, Run run)
      : within_(within), run_(std::move(run)), worker_(std::move(workerName)) {}

  void ask(std::function<void(const T&)> done) {
    std::lock_guard lock(mutex_);
    waiting_.push_back({Clock::now() + within_, std::move(done)});
    if (running_) return;
    running_ = true;
    worker_.post([this] { runWhileAsked(); });
  }

 private:
  struct Waiter {
    Clock::time_point deadline;
    std::function<void(const T&)> done;
  };

  void runWhileAsked() {
    for (;;) {
      std::vector<Waiter> batch;
      {
        std::lock_guard lock(mutex_);
        if (waiting_.empty()) {
          running_ = false;
          return;
        }
        batch.swap(waiting_);
      }
      auto deadline = std::max(batch.front().deadline, Clock::now() + kLeastTime);
      const T answer = run_(deadline);
      for (auto& waiter : batch) waiter.done(answer);
    }
  }

  const std::chrono::milliseconds within_;
  const Run run_;
  std::mutex mutex_;
  std::vector<Waiter> waiting_;
  bool running_ = false;
  SerialExecutor worker_;  // last: joined (running what is queued) before the rest goes
};

}  // namespace lumewell
