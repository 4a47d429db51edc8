#include "runtime/glib_scheduler.h"

#include <utility>

namespace lumewell {
namespace {

gboolean runPosted(gpointer data) {
  (*static_cast<std::function<void()>*>(data))();
  return G_SOURCE_REMOVE;
}

void deletePosted(gpointer data) { delete static_cast<std::function<void()>*>(data); }

class GLibTimer final : public Timer {
 public:
  GLibTimer(GMainContext* context, Duration interval, bool repeating, std::function<void()> fn)
      : fn_(std::move(fn)), repeating_(repeating) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(interval).count();
    source_ = g_timeout_source_new(static_cast<guint>(ms < 0 ? 0 : ms));
    g_source_set_callback(source_, &GLibTimer::fire, this, nullptr);
    g_source_attach(source_, context);
  }
  ~GLibTimer() override { invalidate(); }

  void invalidate() override { dropSource(source_); }
  bool isValid() const override { return source_ != nullptr; }

 private:
  static gboolean fire(gpointer data) {
    auto* self = static_cast<GLibTimer*>(data);
    const bool repeating = self->repeating_;
    if (!repeating) {
      // One-shot: the source ends with this dispatch. Drop our reference first, so that the
      // callback may destroy this timer (it usually replaces it with a new one).
      g_source_unref(self->source_);
      self->source_ = nullptr;
    }
    auto fn = self->fn_;  // the callback may invalidate or destroy this timer
    fn();
    return repeating ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
  }

  std::function<void()> fn_;
  bool repeating_;
  GSource* source_ = nullptr;
};

}  // namespace

GLibScheduler::GLibScheduler(GMainContext* context)
    : context_(g_main_context_ref(context != nullptr ? context : g_main_context_default())) {}

GLibScheduler::~GLibScheduler() { g_main_context_unref(context_); }

TimePoint GLibScheduler::now() const { return WallClock::now(); }

Duration GLibScheduler::monotonicNow() const {
  return std::chrono::microseconds(g_get_monotonic_time());
}

void GLibScheduler::post(std::function<void()> fn) {
  GSource* source = g_idle_source_new();
  g_source_set_priority(source, G_PRIORITY_DEFAULT);
  g_source_set_callback(source, runPosted, new std::function<void()>(std::move(fn)), deletePosted);
  g_source_attach(source, context_);
  g_source_unref(source);
}

std::unique_ptr<Timer> GLibScheduler::startTimer(Duration interval, bool repeating,
                                                 std::function<void()> fn) {
  return std::make_unique<GLibTimer>(context_, interval, repeating, std::move(fn));
}

void dropSource(GSource*& source) {
  if (source == nullptr) return;
  g_source_destroy(source);
  g_source_unref(source);
  source = nullptr;
}

Scheduler& mainScheduler() {
  static GLibScheduler scheduler;  // made once, whichever thread asks first
  return scheduler;
}

bool iterateUntil(GMainContext* context, const std::function<bool()>& done,
                  std::chrono::milliseconds timeout) {
  const gint64 deadline = g_get_monotonic_time() + timeout.count() * 1000;
  while (!done()) {
    if (g_get_monotonic_time() >= deadline) return done();
    GSource* tick = g_timeout_source_new(10);
    g_source_set_callback(
        tick, [](gpointer) { return G_SOURCE_REMOVE; }, nullptr, nullptr);
    g_source_attach(tick, context);
    g_main_context_iteration(context, TRUE);
    dropSource(tick);
  }
  return true;
}

}  // namespace lumewell
