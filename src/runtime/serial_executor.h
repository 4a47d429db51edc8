#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace lumewell {

// One worker thread running posted work in FIFO order: a serial queue. The destructor runs
// what is already queued, then joins.
class SerialExecutor {
 public:
  explicit SerialExecutor(std::string name = "lumewell-serial");
  ~SerialExecutor();
  SerialExecutor(const SerialExecutor&) = delete;
  SerialExecutor& operator=(const SerialExecutor&) = delete;

  void post(std::function<void()> fn);
  // Blocks until everything posted before this call has run. Not callable from the worker.
  void drain();

 private:
  void run();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> queue_;
  bool stopping_ = false;
  std::thread worker_;
};

}  // namespace lumewell
