// The host's own logic: the data folder lock, its options, launch URLs, shutdown, relaunch.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "app/data_folder_lock.h"
#include "app/host_options.h"
#include "app/shutdown_hooks.h"
#include "app/url_delivery.h"
#include "runtime/glib_scheduler.h"
#include "runtime/relaunch.h"
#include "support/main_loop_helpers.h"
#include "support/test_files.h"

namespace lumewell::app {
namespace {

TEST(DataFolderLock, OneHolderAtATimeAndAPatientOneGetsItWhenItGoes) {
  testing::TempDir dir;
  const std::string folder = dir.path() + "/data";
  auto first = DataFolderLock::acquire(folder, std::chrono::milliseconds(0));
  ASSERT_TRUE(first) << first.error().localizedDescription;
  EXPECT_EQ(testing::fileMode(folder + "/host.lock"), 0600);

  // The message (with the holder's pid) is checked on the built host by LoneHost.
  auto second = DataFolderLock::acquire(folder, std::chrono::milliseconds(0));
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error().code, EWOULDBLOCK);

  std::unique_ptr<DataFolderLock> held = std::move(first).value();
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    held.reset();
  });
  auto patient = DataFolderLock::acquire(folder, std::chrono::seconds(10));
  releaser.join();
  EXPECT_TRUE(patient);

  testing::writeFile(dir.path() + "/file", "x");
  auto refused = DataFolderLock::acquire(dir.path() + "/file", std::chrono::milliseconds(0));
  ASSERT_FALSE(refused);
  EXPECT_NE(refused.error().code, EWOULDBLOCK) << "not mistaken for another host";
}

TEST(HostOptions, SeparatesTheHostsOptionsFromLaunchArgumentsAndRejectsBadOnes) {
  auto o = parseHostOptions({"--socket", "/run/s.sock", "lumewell://a", "--wait-for-pid=4242", "-x",
                             "--", "--socket", "lumewell://b"});
  EXPECT_TRUE(o.error.empty());
  EXPECT_EQ(o.socketPath, "/run/s.sock");
  EXPECT_EQ(o.waitForPid, 4242);
  // After "--" everything is a launch argument, even what looks like an option.
  EXPECT_EQ(o.launchArguments,
            (std::vector<std::string>{"lumewell://a", "-x", "--socket", "lumewell://b"}));
  EXPECT_FALSE(parseHostOptions({"--socket"}).error.empty());
  EXPECT_FALSE(parseHostOptions({"--socket="}).error.empty());
  // A nonsense pid is ignored, and the flag never reaches the URL delivery.
  const std::string pids[] = {
      "", "abc", "1", "-5", "12x", "99999999999", std::to_string(::getpid())};
  for (const std::string& pid : pids) {
    auto bad = parseHostOptions({"--wait-for-pid=" + pid, "lumewell://a"});
    EXPECT_FALSE(bad.waitForPid) << pid;
    EXPECT_EQ(bad.launchArguments, std::vector<std::string>{"lumewell://a"}) << pid;
  }
}

TEST(ShutdownHooks, RunNewestFirstOnceWaitingForAsynchronousOnesButNotForever) {
  ShutdownHooks hooks;
  std::vector<std::string> order;
  hooks.add("bridge", [&] { order.push_back("bridge"); });
  hooks.addAsync("recorder", [&](std::function<void()> done) {
    order.push_back("recorder started");
    // Finishes later, from the main loop, as a stream that closes asynchronously does.
    mainScheduler().post([&order, done] {
      order.push_back("recorder finished");
      done();
    });
  });
  hooks.add("compositions", [&] { order.push_back("compositions"); });

  hooks.runAll(g_main_context_default(), std::chrono::seconds(10));
  EXPECT_EQ(order, (std::vector<std::string>{"compositions", "recorder started",
                                             "recorder finished", "bridge"}));
  EXPECT_EQ(hooks.size(), 0u);
  hooks.runAll(g_main_context_default(), std::chrono::seconds(10));
  EXPECT_EQ(order.size(), 4u);

  // A hook that never finishes does not hold the others forever.
  bool laterRan = false;
  hooks.add("later", [&] { laterRan = true; });
  hooks.addAsync("stuck", [](std::function<void()>) {});
  hooks.runAll(g_main_context_default(), std::chrono::milliseconds(20));
  EXPECT_TRUE(laterRan);
}

using Lines = std::vector<std::string>;
constexpr const char* kInvalid = "Lumewell Recorder handleGetURLEvent received invalid payload";

struct Delivery {
  Lines log, handed;
  size_t ignored = 0;
  explicit Delivery(const Lines& arguments) {
    ignored = deliverLaunchArguments(
        arguments, [this](const std::string& url) { handed.push_back(url); },
        [this](std::string_view line) { log.emplace_back(line); });
  }
};

TEST(UrlDelivery, UrlsAreLoggedAndHandedOverInOrderOtherArgumentsDroppedAFloodCut) {
  Delivery d({"lumewell://auth?code=1", "/home/me/file.m4a", "lumewell://auth?code=2", "word"});
  EXPECT_EQ(d.handed, (Lines{"lumewell://auth?code=1", "lumewell://auth?code=2"}));
  EXPECT_EQ(d.log,
            (Lines{kInvalid, kInvalid, "Lumewell Recorder application(_:open:) received 2 url(s)",
                   "Lumewell Recorder application(_:open:) url: lumewell://auth?code=1",
                   "Lumewell Recorder application(_:open:) url: lumewell://auth?code=2"}));
  Delivery junk({"", "lumewell://line\nbreak", "-x"});
  EXPECT_TRUE(junk.handed.empty());
  EXPECT_EQ(junk.log, Lines(3, kInvalid));

  Lines arguments;
  for (size_t i = 0; i < kMaxLaunchArguments + 6; ++i)
    arguments.push_back("lumewell://auth?n=" + std::to_string(i));
  Delivery flood(arguments);
  EXPECT_EQ(flood.ignored, 6u);
  ASSERT_EQ(flood.handed.size(), kMaxLaunchArguments);
  EXPECT_EQ(flood.handed.back(), "lumewell://auth?n=" + std::to_string(kMaxLaunchArguments - 1));
  EXPECT_EQ(flood.log[0], "Lumewell Recorder application(_:open:) received " +
                              std::to_string(kMaxLaunchArguments) + " url(s)");
}

TEST(Relaunch, StartsTheExecutableWithTheWaitFlagAndTheArgumentsUntouched) {
  testing::TempDir dir;
  const std::string out = dir.path() + "/argv";
  // A script stands in for the host: it records the arguments it was given, one per line.
  const std::string script = dir.path() + "/fake-host";
  testing::writeFile(script,
                     "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > " + out +
                         ".tmp\nmv " + out + ".tmp " + out + "\n",
                     0700);
  ASSERT_FALSE(relaunchAfterExit(script, {"--socket", "/x y/s.sock", "$(touch pwned)"}));
  ASSERT_TRUE(testing::spinUntil(g_main_context_default(),
                                 [&] { return ::access(out.c_str(), F_OK) == 0; }));
  EXPECT_EQ(testing::readFile(out), "--wait-for-pid=" + std::to_string(::getpid()) +
                                        "\n--socket\n/x y/s.sock\n$(touch pwned)\n");
  EXPECT_NE(::access((dir.path() + "/pwned").c_str(), F_OK), 0);

  auto missing = relaunchAfterExit(dir.path() + "/no-such-program", {});
  EXPECT_THAT(missing.value_or(Error{}).localizedDescription,
              ::testing::HasSubstr("no-such-program"));
}

}  // namespace
}  // namespace lumewell::app
