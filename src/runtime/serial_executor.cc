#include "runtime/serial_executor.h"

#include <pthread.h>

#include <future>

namespace lumewell {

SerialExecutor::SerialExecutor(std::string name) : worker_([this] { run(); }) {
  name.resize(std::min<size_t>(name.size(), 15));  // the kernel's limit for thread names
  pthread_setname_np(worker_.native_handle(), name.c_str());
}

SerialExecutor::~SerialExecutor() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  worker_.join();
}

void SerialExecutor::post(std::function<void()> fn) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(fn));
  }
  wake_.notify_one();
}

void SerialExecutor::drain() {
  std::promise<void> done;
  auto future = done.get_future();
  post([&done] { done.set_value(); });
  future.wait();
}

void SerialExecutor::run() {
  for (;;) {
    std::function<void()> fn;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;  // stopping, and nothing left to run
      fn = std::move(queue_.front());
      queue_.pop_front();
    }
    fn();
  }
}

}  // namespace lumewell
