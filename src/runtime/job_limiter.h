#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

namespace lumewell {

// Runs at most `limit` jobs at once and queues up to `queueLimit` more, in arrival order, so
// that no flood of requests can start more work (threads, connections) than that. A job is
// started with a `done` it calls exactly once, from any thread, when it has finished; the
// next queued job then starts on that thread. Thread-safe.
class JobLimiter {
 public:
  using Done = std::function<void()>;
  struct Job {
    std::function<void(Done done)> start;
    // Called instead of start when the job is refused (queue full) or dropped (close()).
    std::function<void()> refuse;
  };

  JobLimiter(size_t limit, size_t queueLimit) : limit_(limit), queueLimit_(queueLimit) {}
  JobLimiter(const JobLimiter&) = delete;
  JobLimiter& operator=(const JobLimiter&) = delete;

  // Starts the job now (on the caller's thread) when a place is free; otherwise queues it.
  void submit(Job job);
  // Refuses every queued job and every later submit (shutdown). Running jobs go on.
  void close();

  size_t running() const;
  size_t queued() const;

 private:
  void run(Job& job);
  void finished();

  const size_t limit_;
  const size_t queueLimit_;
  mutable std::mutex mutex_;
  size_t running_ = 0;
  bool closed_ = false;
  std::deque<Job> queue_;
};

}  // namespace lumewell
