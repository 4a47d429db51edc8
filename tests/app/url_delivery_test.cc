#include "app/url_delivery.h"

#include <gtest/gtest.h>

namespace lumewell::app {
namespace {

struct Delivery {
  std::vector<std::string> log;
  std::vector<std::string> handed;
  size_t ignored = 0;
  void operator()(const std::vector<std::string>& arguments) {
    ignored = deliverLaunchArguments(
        arguments, [this](const std::string& url) { handed.push_back(url); },
        [this](std::string_view line) { log.emplace_back(line); });
  }
};

TEST(UrlDelivery, UrlsAreLoggedAndHandedOverInOrderOtherArgumentsDroppedAFloodCut) {
  Delivery d;
  d({"lumewell://auth?code=1", "/home/me/file.m4a", "lumewell://auth?code=2", "word"});
  EXPECT_EQ(d.handed,
            (std::vector<std::string>{"lumewell://auth?code=1", "lumewell://auth?code=2"}));
  EXPECT_EQ(d.log, (std::vector<std::string>{
                       "Lumewell Recorder handleGetURLEvent received invalid payload",
                       "Lumewell Recorder handleGetURLEvent received invalid payload",
                       "Lumewell Recorder application(_:open:) received 2 url(s)",
                       "Lumewell Recorder application(_:open:) url: lumewell://auth?code=1",
                       "Lumewell Recorder application(_:open:) url: lumewell://auth?code=2",
                   }));

  // A plain launch and one with nothing usable hand over nothing.
  Delivery plain;
  plain({});
  EXPECT_TRUE(plain.log.empty());
  EXPECT_TRUE(plain.handed.empty());

  Delivery junk;
  junk({"", "lumewell://line\nbreak", "-x"});
  EXPECT_TRUE(junk.handed.empty());
  EXPECT_EQ(junk.log, std::vector<std::string>(
                          3, "Lumewell Recorder handleGetURLEvent received invalid payload"));

  // A flood of arguments is cut at the bound.
  std::vector<std::string> arguments;
  for (size_t i = 0; i < kMaxLaunchArguments + 6; ++i) {
    arguments.push_back("lumewell://auth?n=" + std::to_string(i));
  }
  Delivery flood;
  flood(arguments);
  EXPECT_EQ(flood.ignored, 6u);
  ASSERT_EQ(flood.handed.size(), kMaxLaunchArguments);
  EXPECT_EQ(flood.handed.back(), "lumewell://auth?n=" + std::to_string(kMaxLaunchArguments - 1));
  EXPECT_EQ(flood.log[0], "Lumewell Recorder application(_:open:) received " +
                              std::to_string(kMaxLaunchArguments) + " url(s)");
}

}  // namespace
}  // namespace lumewell::app
