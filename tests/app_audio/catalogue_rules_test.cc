#include "app_audio/catalogue_rules.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pulse/def.h>

#include <clocale>

namespace lumewell::app_audio {
namespace {

using ::testing::ElementsAre;

constexpr int32_t kHost = 4242;

SnapshotApplication app(std::string name, std::string bundle, int32_t pid) {
  return SnapshotApplication{std::move(name), std::move(bundle), pid};
}

std::vector<std::string> listedNames(const std::vector<SnapshotApplication>& apps) {
  std::vector<std::string> names;
  for (const auto& a : apps) names.push_back(a.applicationName + "#" + std::to_string(a.processID));
  return names;
}

TEST(CatalogueRules, ExclusionRulesInOrder) {
  const auto capturable = [](std::string name, std::string bundle, int32_t pid = 10) {
    return isCapturableApplication(app(std::move(name), std::move(bundle), pid), kHost);
  };
  EXPECT_TRUE(capturable("Firefox", "firefox"));
  EXPECT_FALSE(capturable("", "firefox"));
  EXPECT_FALSE(capturable("Firefox", "firefox", kHost));
  for (auto name : kExcludedApplicationNames) {
    EXPECT_FALSE(capturable(std::string(name), "x.y")) << name;
  }
  // The name table is exact and case-sensitive.
  EXPECT_TRUE(capturable("finder", "x.y"));
  EXPECT_TRUE(capturable("Finder ", "x.y"));
  EXPECT_FALSE(capturable("AutoFill Helper", "x.y"));
  EXPECT_TRUE(capturable("autofill", "x.y"));
  EXPECT_FALSE(capturable("com.example.Tool", "x.y"));
  EXPECT_FALSE(capturable("Music", "com.apple.Music"));
  EXPECT_TRUE(capturable("Music", "com.applesauce"));
  EXPECT_FALSE(capturable("Endpoint", "com.bitdefender.epsecurity.BDLDaemonApp"));
  EXPECT_FALSE(capturable("Firefox", ""));
}

TEST(CatalogueRules, CatalogueFiltersAndSortsCaseInsensitivelyAndStably) {
  std::setlocale(LC_ALL, "C.UTF-8");
  ShareableContent content;
  content.applications = {
      app("zoom", "us.zoom", 30),    app("Slack", "slack", 20),     app("Finder", "f", 5),
      app("Firefox", "firefox", 41), app("firefox", "firefox", 40), app("Firefox", "firefox", 42),
      app("Lumewell", "lw", kHost),  app("Ardour", "ardour", 7),
  };
  EXPECT_THAT(
      listedNames(catalogueApplications(content, kHost)),
      ElementsAre("Ardour#7", "Firefox#41", "firefox#40", "Firefox#42", "Slack#20", "zoom#30"));
  EXPECT_TRUE(catalogueApplications(ShareableContent{}, kHost).empty());
}

TEST(CatalogueRules, SourceIdParsing) {
  EXPECT_EQ(parseSourceId("4711"), 4711);
  EXPECT_EQ(parseSourceId("+123"), 123);
  EXPECT_EQ(parseSourceId("-5"), -5);
  EXPECT_EQ(parseSourceId("007"), 7);
  EXPECT_EQ(parseSourceId("2147483647"), 2147483647);
  EXPECT_EQ(parseSourceId("-2147483648"), INT32_MIN);
  for (const char* bad : {"", "abc", " 12", "12 ", "1 2", "+", "-", "0x10", "2147483648",
                          "-2147483649", "99999999999999999999999", "+-1", "１２"}) {
    EXPECT_EQ(parseSourceId(bad), std::nullopt) << '"' << bad << '"';
  }
}

TEST(CatalogueRules, SelectCaptureTarget) {
  ShareableContent content;
  content.applications = {app("Player", "p", 10), app("Finder", "f", 11), app("Player", "p", 10)};
  content.displays = {{5, "default", "Default"}, {7, "second", "Second"}};
  content.windows = {{std::nullopt, 7}, {11, 7}, {10, 99}, {10, 7}, {10, 5}};

  auto t = selectCaptureTarget(content, 10);
  ASSERT_TRUE(t.ok());
  EXPECT_EQ(t->application.processID, 10);
  // The first of its streams that plays on a known device decides.
  EXPECT_EQ(t->display.deviceIndex, 7u);

  // Excluded from the catalogue, still resolvable; no placed stream: the first device.
  content.windows = {{10, 7}};
  auto finder = selectCaptureTarget(content, 11);
  ASSERT_TRUE(finder.ok());
  EXPECT_EQ(finder->display.deviceIndex, 5u);

  auto gone = selectCaptureTarget(content, 12);
  ASSERT_FALSE(gone.ok());
  EXPECT_EQ(gone.error(),
            programError(34, "The selected desktop app is no longer available to capture."));
  EXPECT_FALSE(selectCaptureTarget(content, -10).ok());

  content.displays.clear();
  auto noDisplay = selectCaptureTarget(content, 10);
  ASSERT_FALSE(noDisplay.ok());
  EXPECT_EQ(noDisplay.error(),
            programError(35, "No display is available for the selected desktop app."));
}

TEST(CatalogueRules, ErrorMessages) {
  EXPECT_EQ(appAudioErrorMessage(pulseError(PA_ERR_ACCESS)),
            "Screen Recording access is required to capture desktop app audio. Enable it in "
            "System Settings > Privacy & Security > Screen Recording.");
  EXPECT_EQ(appAudioErrorMessage(pulseError(PA_ERR_CONNECTIONREFUSED)), "Connection refused");
  EXPECT_EQ(appAudioErrorMessage(Error{"other", PA_ERR_ACCESS, "Other"}), "Other");
  EXPECT_EQ(appAudioErrorMessage(invalidSourceError()),
            "The selected desktop app audio source is invalid.");
  EXPECT_EQ(invalidSourceError().code, 33);
  EXPECT_EQ(noContentError(), programError(31, "No shareable desktop content was returned."));
  EXPECT_EQ(writerInputError(), programError(20, "Failed to add the desktop audio writer input."));
  EXPECT_EQ(sourceUnavailableError().domain, "LumewellRecorder");
}

}  // namespace
}  // namespace lumewell::app_audio
