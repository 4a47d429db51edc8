#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pulse/def.h>
#include <unistd.h>

#include <clocale>
#include <map>

#include "app_audio/catalogue_rules.h"
#include "app_audio/snapshot_builder.h"

namespace lumewell::app_audio {
namespace {

using ::testing::ElementsAre;

constexpr int32_t kHost = 500;

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
  EXPECT_THAT(names, ElementsAre("Ardour#7", "Firefox#41", "firefox#40", "Firefox#42", "Slack#20",
                                 "zoom#30"));
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

struct FakeProcesses : ProcessTable {
  std::optional<int32_t> parent(int32_t pid) const override {
    return procs.count(pid) ? std::optional(procs.at(pid).first) : std::nullopt;
  }
  std::string program(int32_t pid) const override {
    return procs.count(pid) ? procs.at(pid).second : "";
  }
  std::map<int32_t, std::pair<int32_t, std::string>> procs;  // pid: parent, program
};

class SnapshotBuilder : public ::testing::Test {
 protected:
  SnapshotBuilder() {
    // The browser, its content process and that one's audio helper; the host and its helper.
    const char *ff = "/usr/lib/firefox/firefox", *host = "/opt/lumewell/lumewell-recorder";
    for (const auto& [pid, ppid, program] :
         {std::tuple{1, 0, "/sbin/init"}, std::tuple{100, 1, "/usr/bin/bash"},
          std::tuple{200, 100, ff}, std::tuple{210, 200, ff}, std::tuple{211, 210, ff},
          std::tuple{300, 100, "/usr/bin/pacat"}, std::tuple{301, 100, "/usr/bin/pacat"},
          std::tuple{400, 1, "/usr/bin/pulseaudio"}, std::tuple{401, 1, "/usr/bin/wireplumber"},
          std::tuple{kHost, 100, host}, std::tuple{501, kHost, host},
          std::tuple{600, 100, "/usr/bin/zoom"}}) {
      procs.procs[pid] = {ppid, program};
    }
    env.hostProcessId = kHost;
    env.processes = &procs;
    env.desktopEntryId = [](const std::string& program) {
      return program == "/usr/lib/firefox/firefox" ? std::string("firefox-esr") : std::string();
    };
  }
  FakeProcesses procs;
  SnapshotEnvironment env;
};

TEST_F(SnapshotBuilder, GroupsHelpersAndDropsNonApplications) {
  ServerState s;
  s.clients = {
      {0, 400, "PulseAudio", ""},                // the sound server's own client
      {1, std::nullopt, "module-loopback", ""},  // no process
      {2, kHost, "Lumewell", ""},                // the host
      {3, 211, "", ""},                          // a browser helper first
      {4, 200, "Firefox", ""},
      {5, 300, "Tone A", "org.example.a"},
      {6, 401, "WirePlumber", ""},
      {7, 501, "Lumewell helper", ""},
      {8, 301, "", ""},
  };
  s.streams = {
      {10, 3, 0, 211, "Firefox", ""},
      {11, 5, 1, 300, "Tone A", "org.example.a"},
      {12, 8, 1, std::nullopt, "", ""},  // no process of its own: its client's
      {13, UINT32_MAX, 0, std::nullopt, "", ""},
      {14, 2, 0, kHost, "", ""},
  };
  s.sinks = {{0, "vsink", "Virtual", "vsink.monitor"}, {1, "vsink2", "Second", "vsink2.monitor"}};
  s.defaultSinkName = "vsink2";

  ShareableContent c = buildShareableContent(s, env);
  // Names and ids: the desktop entry's, application.id, else the program's name.
  std::vector<std::string> apps, windows, displays;
  for (const auto& a : c.applications) {
    apps.push_back(std::to_string(a.processID) + " " + a.applicationName + " " +
                   a.bundleIdentifier);
  }
  for (const auto& w : c.windows) {
    windows.push_back((w.owningProcessID ? std::to_string(*w.owningProcessID) : "-") + "@" +
                      std::to_string(w.deviceIndex));
  }
  for (const auto& d : c.displays) displays.push_back(d.name);
  EXPECT_THAT(
      apps, ElementsAre("200 Firefox firefox-esr", "300 Tone A org.example.a", "301 pacat pacat"));
  EXPECT_THAT(windows, ElementsAre("200@0", "300@1", "301@1", "-@0", "-@0"));
  EXPECT_THAT(displays, ElementsAre("vsink2", "vsink"));  // the default first

  // Resolution sees the grouped application and where its stream plays.
  auto t = selectCaptureTarget(c, 300);
  EXPECT_TRUE(t.ok() && t->display.name == "vsink2");
  EXPECT_FALSE(selectCaptureTarget(c, 211).ok());  // a helper is not an application
}

TEST_F(SnapshotBuilder, ApplicationOfAHelperAndItsOwnership) {
  const int32_t tops[][2] = {{211, 200}, {200, 200}, {300, 300}, {9999, 9999}};  // gone: itself
  for (const auto& [pid, top] : tops) {
    EXPECT_EQ(applicationProcess(procs, pid), top) << pid;
  }
  EXPECT_TRUE(belongsToApplication(procs, 211, 200));
  EXPECT_FALSE(belongsToApplication(procs, 211, 210 + 1000));
  EXPECT_FALSE(belongsToApplication(procs, 300, 301));
  EXPECT_EQ(owningApplicationProcess(501, env), std::nullopt);  // the host's helper
  EXPECT_EQ(owningApplicationProcess(400, env), std::nullopt);
  EXPECT_EQ(owningApplicationProcess(0, env), std::nullopt);

  // A parent loop in a broken table ends.
  FakeProcesses loop;
  loop.procs = {{20, {21, "/x"}}, {21, {20, "/x"}}};
  int32_t top = applicationProcess(loop, 20);
  EXPECT_TRUE(top == 20 || top == 21);
}

TEST(ProcProcessTable, ReadsThisProcess) {
  ProcProcessTable table;
  EXPECT_EQ(table.parent(static_cast<int32_t>(getpid())), static_cast<int32_t>(getppid()));
  EXPECT_EQ(programName(table.program(static_cast<int32_t>(getpid()))), "app_audio_tests");
  EXPECT_EQ(table.parent(-1), std::nullopt);
  EXPECT_EQ(table.program(0), "");
  EXPECT_EQ(programName("/usr/bin/firefox-esr"), "firefox-esr");
  EXPECT_EQ(programName("zoom"), "zoom");
}

}  // namespace
}  // namespace lumewell::app_audio
