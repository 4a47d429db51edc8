#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "runtime/glib_scheduler.h"
#include "runtime/iso8601.h"
#include "runtime/serial_executor.h"
#include "runtime/virtual_scheduler.h"
#include "support/main_loop_helpers.h"

namespace lumewell {
namespace {

using namespace std::chrono_literals;

TEST(VirtualScheduler, FiresDueTimersInOrderAndStopsInvalidatedOnes) {
  VirtualScheduler s;
  std::vector<int64_t> fired;  // when the one-shot timer fired, in ms
  auto segment = s.oneShot(30s, [&] { fired.push_back(s.monotonicNow() / 1ms); });
  int ticks = 0;
  std::unique_ptr<Timer> meter;
  meter = s.repeating(250ms, [&] {
    ++ticks;
    if (ticks == 200) meter->invalidate();  // a callback may stop its own timer
  });
  s.advance(29999ms);
  EXPECT_TRUE(fired.empty());
  EXPECT_EQ(ticks, 119);
  s.advance(1ms);
  EXPECT_EQ(fired, std::vector<int64_t>{30000});
  EXPECT_EQ(ticks, 120);
  EXPECT_FALSE(segment->isValid());  // one-shot timers end after firing
  s.advance(60s);
  EXPECT_EQ(ticks, 200);
  EXPECT_EQ(s.activeTimerCount(), 0u);

  // A timer destroyed before it is due never fires; a timer re-armed from its own callback
  // (as a rotation re-arms the next segment) fires again.
  int rearmed = 0;
  std::unique_ptr<Timer> chain;
  std::function<void()> arm = [&] {
    chain = s.oneShot(30s, [&] {
      ++rearmed;
      arm();
    });
  };
  arm();
  auto dropped = s.oneShot(1s, [&] { FAIL() << "destroyed timer fired"; });
  dropped.reset();
  s.advance(95s);
  EXPECT_EQ(rearmed, 3);
}

TEST(VirtualScheduler, PostedCallsRunInFifoOrderFromAnyThread) {
  VirtualScheduler s;
  std::vector<int> order;
  std::thread t([&] {
    for (int i = 0; i < 100; ++i) s.post([&order, i] { order.push_back(i); });
  });
  t.join();
  s.post([&] { s.post([&] { order.push_back(1000); }); });
  EXPECT_EQ(s.runPending(), 102u);
  ASSERT_EQ(order.size(), 101u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
  EXPECT_EQ(order.back(), 1000);
}

TEST(GLibScheduler, PostFromAnotherThreadAndTimersRunOnTheContext) {
  GMainContext* ctx = g_main_context_new();
  {
    GLibScheduler s(ctx);
    std::atomic<int> posted{0}, offMain{0};
    const std::thread::id mainId = std::this_thread::get_id();
    std::thread([&] {
      for (int i = 0; i < 50; ++i)
        s.post([&] { ++(std::this_thread::get_id() == mainId ? posted : offMain); });
    }).join();
    int fires = 0, reps = 0;
    auto once = s.oneShot(20ms, [&] { ++fires; });
    auto rep = s.repeating(5ms, [&] { ++reps; });
    EXPECT_TRUE(testing::spinUntil(ctx, [&] { return posted == 50 && fires == 1 && reps >= 3; }));
    EXPECT_EQ(offMain, 0);
    EXPECT_FALSE(once->isValid());
    rep.reset();
    const int after = reps;
    testing::spinUntil(
        ctx, [] { return false; }, 30ms);
    EXPECT_EQ(reps, after);
  }
  g_main_context_unref(ctx);
}

TEST(SerialExecutor, RunsInOrderOnOneThreadAndDrainsOnDestruction) {
  std::vector<int> order;
  std::thread::id worker;
  bool sameThread = true;
  {
    SerialExecutor ex("test");
    for (int i = 0; i < 1000; ++i)
      ex.post([&, i] {
        if (i == 0) worker = std::this_thread::get_id();
        sameThread = sameThread && worker == std::this_thread::get_id();
        order.push_back(i);
      });
  }
  ASSERT_EQ(order.size(), 1000u);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(order[i], i);
  EXPECT_TRUE(sameThread);
  EXPECT_NE(worker, std::this_thread::get_id());
}

TEST(Iso8601, MillisecondsAndWholeSecondsInUtc) {
  TimePoint t = TimePoint(std::chrono::milliseconds(1738326896789LL));
  EXPECT_EQ(iso8601Millis(t), "2025-01-31T12:34:56.789Z");
  EXPECT_EQ(iso8601Seconds(t), "2025-01-31T12:34:56Z");
  EXPECT_EQ(iso8601Millis(TimePoint(std::chrono::milliseconds(-1))), "1969-12-31T23:59:59.999Z");
  EXPECT_EQ(iso8601Millis(TimePoint(std::chrono::microseconds(5999))), "1970-01-01T00:00:00.005Z");
}

}  // namespace
}  // namespace lumewell
