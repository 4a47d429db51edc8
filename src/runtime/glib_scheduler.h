#pragma once

#include <glib.h>

#include <chrono>
#include <functional>

#include "runtime/scheduler.h"

namespace lumewell {

// Scheduler on a GLib main context: the main thread's loop in the product.
class GLibScheduler final : public Scheduler {
 public:
  // Uses the given context (not owned beyond a reference), or the global default one.
  explicit GLibScheduler(GMainContext* context = nullptr);
  ~GLibScheduler() override;
  GLibScheduler(const GLibScheduler&) = delete;
  GLibScheduler& operator=(const GLibScheduler&) = delete;

  TimePoint now() const override;
  Duration monotonicNow() const override;
  void post(std::function<void()> fn) override;
  std::unique_ptr<Timer> startTimer(Duration interval, bool repeating,
                                    std::function<void()> fn) override;

  GMainContext* context() const { return context_; }

 private:
  GMainContext* context_;
};

// Destroys and releases a source, when there is one, and forgets it.
void dropSource(GSource*& source);

// The process's main scheduler: a GLibScheduler on the default context.
Scheduler& mainScheduler();

// Iterates context until done() holds or timeout has passed, waking at least every 10 ms to
// notice the deadline with nothing to dispatch; returns done().
bool iterateUntil(GMainContext* context, const std::function<bool()>& done,
                  std::chrono::milliseconds timeout);

}  // namespace lumewell
