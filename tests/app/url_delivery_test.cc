#include "app/url_delivery.h"

#include <gtest/gtest.h>

namespace lumewell::app {
namespace {

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
  EXPECT_TRUE(Delivery({}).log.empty());
  Delivery junk({"", "lumewell://line\nbreak", "-x"});
  EXPECT_TRUE(junk.handed.empty());
  EXPECT_EQ(junk.log, Lines(3, kInvalid));

  Lines arguments;
  for (size_t i = 0; i < kMaxLaunchArguments + 6; ++i) {
    arguments.push_back("lumewell://auth?n=" + std::to_string(i));
  }
  Delivery flood(arguments);
  EXPECT_EQ(flood.ignored, 6u);
  ASSERT_EQ(flood.handed.size(), kMaxLaunchArguments);
  EXPECT_EQ(flood.handed.back(), "lumewell://auth?n=" + std::to_string(kMaxLaunchArguments - 1));
  EXPECT_EQ(flood.log[0], "Lumewell Recorder application(_:open:) received " +
                              std::to_string(kMaxLaunchArguments) + " url(s)");
}

}  // namespace
}  // namespace lumewell::app
