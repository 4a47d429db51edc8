#include "runtime/relaunch.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/main_loop_helpers.h"
#include "support/test_files.h"

namespace lumewell {
namespace {

TEST(Relaunch, WaitsForAProcessToEndEvenBeforeItIsReaped) {
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::pause();
    ::_exit(0);
  }
  EXPECT_FALSE(waitForProcessExit(child, std::chrono::milliseconds(20)));
  ::kill(child, SIGTERM);
  // Exited but not yet collected by its parent (us): it counts as gone.
  EXPECT_TRUE(waitForProcessExit(child, std::chrono::seconds(10)));
  int status = 0;
  EXPECT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(waitForProcessExit(child, std::chrono::milliseconds(0)));
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
  ASSERT_TRUE(missing);
  EXPECT_NE(missing->localizedDescription.find("no-such-program"), std::string::npos);
}

}  // namespace
}  // namespace lumewell
