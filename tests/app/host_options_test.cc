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

  auto eq = parseHostOptions({"--socket=/tmp/x.sock"});
  EXPECT_EQ(eq.socketPath, "/tmp/x.sock");
  EXPECT_TRUE(eq.launchArguments.empty());
  EXPECT_TRUE(parseHostOptions({"--help"}).help);

  // A missing socket path is an error; a nonsense pid is ignored.
  EXPECT_FALSE(parseHostOptions({"--socket"}).error.empty());
  EXPECT_FALSE(parseHostOptions({"--socket="}).error.empty());
  for (const std::string& flag :
       {std::string("--wait-for-pid="), std::string("--wait-for-pid=abc"),
        std::string("--wait-for-pid=1"), std::string("--wait-for-pid=-5"),
        std::string("--wait-for-pid=12x"), std::string("--wait-for-pid=99999999999"),
        "--wait-for-pid=" + std::to_string(::getpid())}) {
    auto o = parseHostOptions({flag, "lumewell://a"});
    EXPECT_FALSE(o.waitForPid) << flag;
    // The flag never reaches the URL delivery, valid or not.
    EXPECT_EQ(o.launchArguments, std::vector<std::string>{"lumewell://a"}) << flag;
  }
}

}  // namespace
}  // namespace lumewell::app
