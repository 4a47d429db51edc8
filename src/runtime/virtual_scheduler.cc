#include "runtime/virtual_scheduler.h"

#include <algorithm>
#include <utility>

namespace lumewell {

class VirtualTimer final : public Timer {
 public:
  VirtualTimer(VirtualScheduler* owner, std::weak_ptr<bool> alive, uint64_t id)
      : owner_(owner), alive_(std::move(alive)), id_(id) {}
  ~VirtualTimer() override { invalidate(); }
  void invalidate() override {
    if (valid_ && !alive_.expired()) owner_->cancel(id_);
    valid_ = false;
  }
  bool isValid() const override {
    return valid_ && !alive_.expired() && owner_->find(id_) != owner_->timers_.end();
  }

 private:
  VirtualScheduler* owner_;
  std::weak_ptr<bool> alive_;
  uint64_t id_;
  bool valid_ = true;
};

VirtualScheduler::VirtualScheduler(TimePoint start)
    : start_(start), alive_(std::make_shared<bool>(true)) {}

VirtualScheduler::~VirtualScheduler() = default;

TimePoint VirtualScheduler::now() const {
  return start_ + std::chrono::duration_cast<WallClock::duration>(elapsed_);
}

Duration VirtualScheduler::monotonicNow() const { return elapsed_; }

void VirtualScheduler::post(std::function<void()> fn) {
  std::lock_guard lock(postMutex_);
  posted_.push_back(std::move(fn));
}

std::unique_ptr<Timer> VirtualScheduler::startTimer(Duration interval, bool repeating,
                                                    std::function<void()> fn) {
  uint64_t id = nextId_++;
  timers_.emplace(std::make_pair(elapsed_ + interval, id),
                  Entry{interval, repeating, std::move(fn)});
  return std::make_unique<VirtualTimer>(this, alive_, id);
}

VirtualScheduler::Timers::iterator VirtualScheduler::find(uint64_t id) {
  return std::find_if(timers_.begin(), timers_.end(),
                      [id](const auto& timer) { return timer.first.second == id; });
}

void VirtualScheduler::cancel(uint64_t id) {
  if (auto it = find(id); it != timers_.end()) timers_.erase(it);
}

size_t VirtualScheduler::runPending() {
  size_t count = 0;
  for (;;) {
    std::function<void()> fn;
    {
      std::lock_guard lock(postMutex_);
      if (posted_.empty()) break;
      fn = std::move(posted_.front());
      posted_.pop_front();
    }
    fn();
    ++count;
  }
  return count;
}

void VirtualScheduler::advance(Duration d) {
  const Duration target = elapsed_ + d;
  runPending();
  while (!timers_.empty() && timers_.begin()->first.first <= target) {
    auto node = timers_.extract(timers_.begin());
    elapsed_ = node.key().first;
    Entry& entry = node.mapped();
    auto fn = entry.fn;
    if (entry.repeating) {
      // Re-arm before running, under the same id, so that invalidate() in the callback works.
      node.key().first = elapsed_ + (entry.interval.count() > 0 ? entry.interval : Duration(1));
      timers_.insert(std::move(node));
    }
    fn();
    runPending();
  }
  elapsed_ = target;
  runPending();
}

size_t VirtualScheduler::activeTimerCount() const { return timers_.size(); }

}  // namespace lumewell
