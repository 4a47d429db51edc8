#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <vector>

#include "runtime/coalesced_query.h"
#include "runtime/job_limiter.h"

namespace lumewell {
namespace {

TEST(JobLimiter, RunsAtMostItsLimitQueuesInOrderAndRefusesBeyondTheQueue) {
  JobLimiter limiter(2, 3);
  std::vector<JobLimiter::Done> running;
  std::vector<int> started, refused;
  auto submit = [&](int n) {
    limiter.submit({[&, n](JobLimiter::Done done) {
                      started.push_back(n);
                      running.push_back(std::move(done));
                    },
                    [&, n] { refused.push_back(n); }});
  };
  for (int n = 0; n < 6; ++n) submit(n);
  EXPECT_EQ(started, (std::vector<int>{0, 1}));
  EXPECT_EQ(limiter.queued(), 3u);
  EXPECT_EQ(refused, std::vector<int>{5});
  // A finished job hands its place to the next in line; a second done frees nothing more.
  running[0]();
  running[0]();
  EXPECT_EQ(started, (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(limiter.running(), 2u);
  // Closing refuses what waits and whatever comes later; running jobs go on.
  limiter.close();
  submit(6);
  EXPECT_EQ(refused, (std::vector<int>{5, 3, 4, 6}));
  running[1]();
  running[2]();
  EXPECT_EQ(limiter.running(), 0u);
}

TEST(CoalescedQuery, CallersWaitingOnARunningQueryShareTheNextOneWhichStartsAfterThem) {
  std::atomic<int> runs{0};
  std::promise<void> firstStarted, release;
  std::shared_future<void> released = release.get_future().share();
  CoalescedQuery<int> query("test-query", std::chrono::seconds(2), [&](auto deadline) {
    EXPECT_GT(deadline, std::chrono::steady_clock::now());
    const int mine = ++runs;
    if (mine == 1) firstStarted.set_value(), released.wait();
    return mine;
  });
  std::vector<std::promise<int>> answers(4);
  query.ask([&](const int& run) { answers[0].set_value(run); });
  firstStarted.get_future().wait();
  // Three callers arrive while the first run is under way: they get the second run.
  for (int i = 1; i < 4; ++i) query.ask([&, i](const int& run) { answers[i].set_value(run); });
  release.set_value();
  EXPECT_EQ(answers[0].get_future().get(), 1);
  for (int i = 1; i < 4; ++i) EXPECT_EQ(answers[i].get_future().get(), 2);
  EXPECT_EQ(runs, 2);
}

}  // namespace
}  // namespace lumewell
