#include "app_audio/catalogue_rules.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pulse/def.h>

#include <clocale>

namespace lumewell::app_audio {
namespace {

constexpr int32_t kHost = 4242;

SnapshotApplication app(std::string name, std::string bundle, int32_t pid) {
  return SnapshotApplication{std::move(name), std::move(bundle), pid};
}

TEST(CatalogueRules, ExclusionRulesInOrder) {
  const auto capturable = [](const std::string& nameAndBundle, int32_t pid = 10) {
    const size_t bar = nameAndBundle.find('|');
    return isCapturableApplication(
        app(nameAndBundle.substr(0, bar), nameAndBundle.substr(bar + 1), pid), kHost);
  };
  // The name table is exact and case-sensitive.
  for (const char* ok :
       {"Firefox|firefox", "finder|x.y", "Finder |x.y", "autofill|x.y", "Music|com.applesauce"}) {
    EXPECT_TRUE(capturable(ok)) << ok;
  }
  for (const char* excluded :
       {"|firefox", "AutoFill Helper|x.y", "com.example.Tool|x.y", "Music|com.apple.Music",
        "Endpoint|com.bitdefender.epsecurity.BDLDaemonApp", "Firefox|"}) {
    EXPECT_FALSE(capturable(excluded)) << excluded;
  }
  for (auto name : kExcludedApplicationNames) {
    EXPECT_FALSE(capturable(std::string(name) + "|x.y")) << name;
  }
  EXPECT_FALSE(capturable("Firefox|firefox", kHost));
}

TEST(CatalogueRules, CatalogueFiltersAndSortsCaseInsensitivelyAndStably) {
  std::setlocale(LC_ALL, "C.UTF-8");
  ShareableContent content;
  content.applications = {
      app("zoom", "us.zoom", 30),    app("Slack", "slack", 20),     app("Finder", "f", 5),
      app("Firefox", "firefox", 41), app("firefox", "firefox", 40), app("Firefox", "firefox", 42),
      app("Lumewell", "lw", kHost),  app("Ardour", "ardour", 7),
  };
  std::vector<std::string> names;
  for (const auto& a : catalogueApplications(content, kHost)) {
    names.push_back(a.applicationName + "#" + std::to_string(a.processID));
  }
  EXPECT_THAT(names, ::testing::ElementsAre("Ardour#7", "Firefox#41", "firefox#40", "Firefox#42",
                                            "Slack#20", "zoom#30"));
  EXPECT_TRUE(catalogueApplications(ShareableContent{}, kHost).empty());
}

TEST(CatalogueRules, SourceIdParsing) {
  for (const auto& [text, id] :
       {std::pair{"4711", 4711}, std::pair{"+123", 123}, std::pair{"-5", -5}, std::pair{"007", 7},
        std::pair{"2147483647", INT32_MAX}, std::pair{"-2147483648", INT32_MIN}}) {
    EXPECT_EQ(parseSourceId(text), id) << text;
  }
  for (const char* bad : {"", "abc", " 12", "12 ", "1 2", "+", "-", "0x10", "2147483648",
                          "-2147483649", "99999999999999999999999", "+-1", "１２"}) {
    EXPECT_EQ(parseSourceId(bad), std::nullopt) << '"' << bad << '"';
  }
}

Error errorOf(const Result<CaptureTarget>& target) {
  return target.ok() ? Error{"none", 0, "resolved"} : target.error();
}

TEST(CatalogueRules, SelectCaptureTarget) {
  ShareableContent content;
  content.applications = {app("Player", "p", 10), app("Finder", "f", 11), app("Player", "p", 10)};
  content.displays = {{5, "default", "Default"}, {7, "second", "Second"}};
  content.windows = {{std::nullopt, 7}, {11, 7}, {10, 99}, {10, 7}, {10, 5}};
  // The first of its streams that plays on a known device decides.
  auto t = selectCaptureTarget(content, 10);
  ASSERT_TRUE(t.ok());
  EXPECT_EQ(t->application.processID, 10);
  EXPECT_EQ(t->display.deviceIndex, 7u);

  // Excluded from the catalogue, still resolvable; no placed stream: the first device.
  content.windows = {{10, 7}};
  auto finder = selectCaptureTarget(content, 11);
  ASSERT_TRUE(finder.ok());
  EXPECT_EQ(finder->display.deviceIndex, 5u);

  const Error gone =
      programError(34, "The selected desktop app is no longer available to capture.");
  EXPECT_EQ(errorOf(selectCaptureTarget(content, 12)), gone);
  EXPECT_EQ(errorOf(selectCaptureTarget(content, -10)), gone);
  content.displays.clear();
  EXPECT_EQ(errorOf(selectCaptureTarget(content, 10)),
            programError(35, "No display is available for the selected desktop app."));
}

TEST(CatalogueRules, ErrorMessages) {
  EXPECT_EQ(appAudioErrorMessage(pulseError(PA_ERR_ACCESS)),
            "Screen Recording access is required to capture desktop app audio. Enable it in "
            "System Settings > Privacy & Security > Screen Recording.");
  EXPECT_EQ(appAudioErrorMessage(pulseError(PA_ERR_CONNECTIONREFUSED)), "Connection refused");
  EXPECT_EQ(appAudioErrorMessage(Error{"other", PA_ERR_ACCESS, "Other"}), "Other");
  EXPECT_EQ(invalidSourceError(),
            programError(33, "The selected desktop app audio source is invalid."));
  EXPECT_EQ(noContentError(), programError(31, "No shareable desktop content was returned."));
  EXPECT_EQ(writerInputError(), programError(20, "Failed to add the desktop audio writer input."));
  EXPECT_EQ(sourceUnavailableError().domain, "LumewellRecorder");
}

}  // namespace
}  // namespace lumewell::app_audio
