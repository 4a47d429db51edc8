#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <numeric>
#include <set>
#include <thread>
#include <vector>

#include "runtime/coalesced_query.h"
#include "runtime/files.h"
#include "runtime/glib_scheduler.h"
#include "runtime/job_limiter.h"
#include "runtime/serial_executor.h"
#include "support/main_loop_helpers.h"
#include "support/test_files.h"

namespace lumewell {
namespace {

using namespace std::chrono_literals;
using lumewell::testing::fileMode;
using lumewell::testing::TempDir;

// Posts from another thread run on the context's thread; a repeating timer dropped (the meter
// at a pause) fires no more. (One-shot timers: every rotation of the sound-server tests.)
TEST(GLibScheduler, PostsFromAnotherThreadRunOnTheContextADroppedTimerStops) {
  GMainContext* ctx = g_main_context_new();
  {
    GLibScheduler s(ctx);
    std::atomic<int> posted{0}, offMain{0}, reps{0};
    const std::thread::id mainId = std::this_thread::get_id();
    std::thread([&] {
      for (int i = 0; i < 50; ++i)
        s.post([&] { ++(std::this_thread::get_id() == mainId ? posted : offMain); });
    }).join();
    auto rep = s.repeating(5ms, [&] { ++reps; });
    EXPECT_TRUE(testing::spinUntil(ctx, [&] { return posted == 50 && reps >= 3; }));
    EXPECT_EQ(offMain, 0);
    rep.reset();
    const int after = reps;
    testing::spinUntil(
        ctx, [] { return false; }, 30ms);
    EXPECT_EQ(reps, after);
  }
  g_main_context_unref(ctx);
}

TEST(SerialExecutor, RunsInOrderOnOneThreadAndDrainsOnDestruction) {
  std::vector<int> order, want(1000);
  std::iota(want.begin(), want.end(), 0);
  std::set<std::thread::id> threads;
  {
    SerialExecutor ex("test");
    for (int i = 0; i < 1000; ++i) {
      ex.post([&, i] { threads.insert(std::this_thread::get_id()), order.push_back(i); });
    }
  }
  EXPECT_EQ(order, want);
  ASSERT_EQ(threads.size(), 1u);
  EXPECT_NE(*threads.begin(), std::this_thread::get_id());
}

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

TEST(FilesTest, FreeBytesMeasureTheNearestExistingFolderAndCreateNothing) {
  TempDir dir;
  auto here = freeDiskBytes(dir.path());
  auto below = freeDiskBytes(dir.path() + "/not/yet/made");
  ASSERT_TRUE(here && below);
  // Other processes write meanwhile; the same volume is what matters.
  EXPECT_NEAR(double(*here), double(*below), 64.0 * 1024 * 1024);
  EXPECT_GT(*here, 0);
  EXPECT_FALSE(freeDiskBytes("").has_value());
  EXPECT_FALSE(std::filesystem::exists(dir.path() + "/not"));
}

TEST(FilesTest, FoldersAreMadeAlongTheChainPrivateOnesAre0700AndFilesInTheWayRefused) {
  TempDir dir;
  const std::string deep = dir.path() + "/a/b/c";
  ASSERT_FALSE(createDirectories(deep));
  EXPECT_TRUE(std::filesystem::is_directory(deep));
  EXPECT_FALSE(createDirectories(deep)) << "an existing folder is no error";
  EXPECT_FALSE(createDirectories(deep + "/")) << "a trailing slash is fine";
  lumewell::testing::writeFile(dir.path() + "/file", "x");
  auto error = createDirectories(dir.path() + "/file/sub");
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain, "posix");
  EXPECT_TRUE(createDirectories(dir.path() + "/file"));
  EXPECT_TRUE(createDirectories(""));
  EXPECT_TRUE(createPrivateDirectories(dir.path() + "/file/sub", dir.path()));

  // Private folders are 0700 whatever the umask, and wider ones are narrowed.
  const mode_t saved = ::umask(022);
  ::chmod(dir.path().c_str(), 0755);
  const std::string root = dir.path() + "/recordings";
  ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
  ASSERT_FALSE(createPrivateDirectories(root + "/a/b/", root));
  for (const std::string& p : {root, root + "/a", root + "/a/b"}) EXPECT_EQ(fileMode(p), 0700) << p;
  EXPECT_EQ(fileMode(dir.path()), 0755) << "folders above the root are not ours to change";
  // A root that is not above the path narrows only the path itself.
  ASSERT_EQ(::mkdir((dir.path() + "/other").c_str(), 0755), 0);
  ASSERT_FALSE(createPrivateDirectories(dir.path() + "/other/c", root));
  EXPECT_EQ(fileMode(dir.path() + "/other"), 0755);
  EXPECT_EQ(fileMode(dir.path() + "/other/c"), 0700);
  ::umask(saved);
}

}  // namespace
}  // namespace lumewell
