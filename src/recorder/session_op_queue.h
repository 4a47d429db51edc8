#pragma once

#include <algorithm>
#include <deque>
#include <functional>
#include <memory>

namespace lumewell::recorder {

// The session's operations (start, pause, resume, stop, rotation) run one at a time, in
// arrival order, each to its end, so that none sees a segment half started or half sealed.
// Main thread only. An operation ends by calling its done once (later calls do nothing); a
// done that outlives the queue does nothing either.
class SessionOpQueue {
 public:
  using Op = std::function<void(std::function<void()> done)>;

  SessionOpQueue() = default;
  SessionOpQueue(const SessionOpQueue&) = delete;
  SessionOpQueue& operator=(const SessionOpQueue&) = delete;

  // endsSegment: the operation finishes the running segment (a stop, a failure's end).
  void run(bool endsSegment, Op op) {
    queued_.push_back({endsSegment, std::move(op)});
    runNext();
  }
  // Whether an operation that ends the segment waits: a rotation then starts no next one.
  bool segmentEndPending() const {
    return std::any_of(queued_.begin(), queued_.end(),
                       [](const Queued& q) { return q.endsSegment; });
  }

 private:
  struct Queued {
    bool endsSegment;
    Op run;
  };
  void runNext() {
    if (running_ || queued_.empty()) return;
    Queued next = std::move(queued_.front());
    queued_.pop_front();
    running_ = true;
    next.run([alive = std::weak_ptr<bool>(alive_), finished = std::make_shared<bool>(false), this] {
      if (*finished || alive.expired()) return;
      *finished = true;
      running_ = false;
      runNext();
    });
  }

  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  bool running_ = false;
  std::deque<Queued> queued_;
};

}  // namespace lumewell::recorder
