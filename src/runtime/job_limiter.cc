#include "runtime/job_limiter.h"

#include <atomic>
#include <memory>

namespace lumewell {

void JobLimiter::submit(Job job) {
  bool start = false;
  {
    std::lock_guard lock(mutex_);
    if (!closed_ && running_ < limit_) {
      ++running_;
      start = true;
    } else if (!closed_ && queue_.size() < queueLimit_) {
      queue_.push_back(std::move(job));
      return;
    }
  }
  if (start) {
    run(job);
  } else if (job.refuse) {
    job.refuse();
  }
}

void JobLimiter::run(Job& job) {
  // A job that calls done twice must not free two places.
  auto once = std::make_shared<std::atomic<bool>>(false);
  job.start([this, once] {
    if (!once->exchange(true)) finished();
  });
}

void JobLimiter::finished() {
  Job next;
  {
    std::lock_guard lock(mutex_);
    if (queue_.empty()) {
      --running_;
      return;
    }
    next = std::move(queue_.front());  // the place passes to the next job
    queue_.pop_front();
  }
  run(next);
}

void JobLimiter::close() {
  std::deque<Job> dropped;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    dropped.swap(queue_);
  }
  for (auto& job : dropped) {
    if (job.refuse) job.refuse();
  }
}

size_t JobLimiter::running() const {
  std::lock_guard lock(mutex_);
  return running_;
}

size_t JobLimiter::queued() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

}  // namespace lumewell
