#include "app/host_options.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace lumewell::app {
namespace {

TEST(HostOptions, SeparatesTheHostsOptionsFromLaunchArgumentsAndRejectsBadOnes) {
  auto o = parseHostOptions({"--socket", "/run/s.sock", "lumewell://a", "--wait-for-pid=4242", "-x",
                             "--", "--socket", "lumewell://b"});
  EXPECT_TRUE(o.error.empty());
  EXPECT_EQ(o.socketPath, "/run/s.sock");
  EXPECT_EQ(o.waitForPid, 4242);
  // After "--" everything is a launch argument, even what looks like an option.
  EXPECT_EQ(o.launchArguments,
            (std::vector<std::string>{"lumewell://a", "-x", "--socket", "lumewell://b"}));
  EXPECT_EQ(parseHostOptions({"--socket=/tmp/x.sock"}).socketPath, "/tmp/x.sock");
  EXPECT_TRUE(parseHostOptions({"--help"}).help);
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

}  // namespace
}  // namespace lumewell::app
