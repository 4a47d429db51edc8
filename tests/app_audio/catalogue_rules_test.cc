#include <gtest/gtest.h>
#include <pulse/def.h>

#include <clocale>
#include <map>

#include "app_audio/catalogue_rules.h"
#include "app_audio/snapshot_builder.h"

namespace lumewell::app_audio {
namespace {

constexpr int32_t kHost = 500;

SnapshotApplication app(std::string name, std::string bundle, int32_t pid) {
  return SnapshotApplication{std::move(name), std::move(bundle), pid};
}

// Names and bundle ids match exactly, case and spaces counted; the host is never listed.
TEST(CatalogueRules, ExclusionRules) {
  const auto capturable = [](const std::string& s, int32_t pid = 10) {  // "name|bundle"
    return isCapturableApplication(app(s.substr(0, s.find('|')), s.substr(s.find('|') + 1), pid),
                                   kHost);
  };
  for (const char* ok :
       {"Firefox|firefox", "finder|x.y", "Finder |x.y", "autofill|x.y", "Music|com.applesauce"})
    EXPECT_TRUE(capturable(ok)) << ok;
  for (const char* excluded :
       {"|firefox", "Finder|x.y", "AutoFill Helper|x.y", "com.example.Tool|x.y",
        "Music|com.apple.Music", "Endpoint|com.bitdefender.epsecurity.BDLDaemonApp", "Firefox|"})
    EXPECT_FALSE(capturable(excluded)) << excluded;
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
  std::string names;
  for (const auto& a : catalogueApplications(content, kHost))
    names += a.applicationName + "#" + std::to_string(a.processID) + " ";
  EXPECT_EQ(names, "Ardour#7 Firefox#41 firefox#40 Firefox#42 Slack#20 zoom#30 ");
}

TEST(CatalogueRules, SourceIdParsing) {
  for (const auto& [text, id] :
       {std::pair{"+123", 123}, std::pair{"-5", -5}, std::pair{"007", 7},
        std::pair{"2147483647", INT32_MAX}, std::pair{"-2147483648", INT32_MIN}})
    EXPECT_EQ(parseSourceId(text), id) << text;
  for (const char* bad : {"", "abc", " 12", "12 ", "+", "0x10", "2147483648", "-2147483649",
                          "99999999999999999999999", "+-1", "１２"})
    EXPECT_EQ(parseSourceId(bad), std::nullopt) << '"' << bad << '"';
}

Error errorOf(const Result<CaptureTarget>& target) {
  return target.ok() ? Error{"none", 0, "resolved"} : target.error();
}

// The first of its streams that plays on a known device decides, else the first device.
TEST(CatalogueRules, SelectCaptureTargetAndItsErrors) {
  ShareableContent content;
  content.applications = {app("Player", "p", 10), app("Finder", "f", 11), app("Player", "p", 10)};
  content.displays = {{5, "default", "Default"}, {7, "second", "Second"}};
  content.windows = {{std::nullopt, 7}, {11, 7}, {10, 99}, {10, 7}, {10, 5}};
  const auto device = [&](int32_t pid) {
    auto target = selectCaptureTarget(content, pid);
    return target.ok() && target->application.processID == pid ? target->display.deviceIndex : 0u;
  };
  EXPECT_EQ(device(10), 7u);
  content.windows = {{10, 7}};
  EXPECT_EQ(device(11), 5u);  // excluded from the catalogue, still resolvable
  EXPECT_EQ(errorOf(selectCaptureTarget(content, 12)),
            programError(34, "The selected desktop app is no longer available to capture."));
  content.displays.clear();
  EXPECT_EQ(errorOf(selectCaptureTarget(content, 10)),
            programError(35, "No display is available for the selected desktop app."));
  EXPECT_EQ(invalidSourceError(),
            programError(33, "The selected desktop app audio source is invalid."));
  // A refused capture reads as the permission text; every other error as its own.
  EXPECT_EQ(appAudioErrorMessage(pulseError(PA_ERR_ACCESS)),
            "Screen Recording access is required to capture desktop app audio. Enable it in "
            "System Settings > Privacy & Security > Screen Recording.");
  EXPECT_EQ(appAudioErrorMessage(pulseError(PA_ERR_CONNECTIONREFUSED)), "Connection refused");
  EXPECT_EQ(appAudioErrorMessage(Error{"other", PA_ERR_ACCESS, "Other"}), "Other");
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
          std::tuple{kHost, 100, host}, std::tuple{501, kHost, host}})
      procs.procs[pid] = {ppid, program};
    env.hostProcessId = kHost;
    env.processes = &procs;
    env.desktopEntryId = [ff](const std::string& program) {
      return program == ff ? std::string("firefox-esr") : std::string();
    };
  }
  FakeProcesses procs;
  SnapshotEnvironment env;
};

TEST_F(SnapshotBuilder, GroupsHelpersAndDropsNonApplications) {
  using C = ServerClient;
  using S = ServerPlaybackStream;
  ServerState s;
  // Clients: the sound server's own, one without a process, the host, a browser helper before
  // the browser, a player, the session manager, the host's helper, a nameless player.
  s.clients = {C{0, 400, "PulseAudio", ""},
               C{1, std::nullopt, "module-loopback", ""},
               C{2, kHost, "Lumewell", ""},
               C{3, 211, "", ""},
               C{4, 200, "Firefox", ""},
               C{5, 300, "Tone A", "org.example.a"},
               C{6, 401, "WirePlumber", ""},
               C{7, 501, "Lumewell helper", ""},
               C{8, 301, "", ""}};
  // Streams: the helper's, a player's, one without a process of its own (its client's), one
  // of the server's, the host's.
  s.streams = {S{10, 3, 0, 211, "Firefox", ""}, S{11, 5, 1, 300, "Tone A", "org.example.a"},
               S{12, 8, 1, std::nullopt, "", ""}, S{13, UINT32_MAX, 0, std::nullopt, "", ""},
               S{14, 2, 0, kHost, "", ""}};
  s.sinks = {{0, "vsink", "Virtual", "vsink.monitor"}, {1, "vsink2", "Second", "vsink2.monitor"}};
  s.defaultSinkName = "vsink2";

  ShareableContent c = buildShareableContent(s, env);
  // Names and ids: the desktop entry's, application.id, else the program's name.
  std::string apps, windows, displays;
  for (const auto& a : c.applications)
    apps += std::to_string(a.processID) + " " + a.applicationName + " " + a.bundleIdentifier + ", ";
  for (const auto& w : c.windows)
    windows += (w.owningProcessID ? std::to_string(*w.owningProcessID) : "-") + "@" +
               std::to_string(w.deviceIndex) + " ";
  for (const auto& d : c.displays) displays += d.name + " ";
  EXPECT_EQ(apps, "200 Firefox firefox-esr, 300 Tone A org.example.a, 301 pacat pacat, ");
  EXPECT_EQ(windows, "200@0 300@1 301@1 -@0 -@0 ");
  EXPECT_EQ(displays, "vsink2 vsink ");            // the default first
  EXPECT_FALSE(selectCaptureTarget(c, 211).ok());  // a helper is not an application

  // A helper belongs to the top of its chain of the same program, never to a sibling.
  EXPECT_TRUE(belongsToApplication(procs, 211, 200));
  EXPECT_FALSE(belongsToApplication(procs, 300, 301));
  EXPECT_EQ(applicationProcess(procs, 9999), 9999);  // gone: itself
  FakeProcesses loop;                                // a parent loop in a broken table ends
  loop.procs = {{20, {21, "/x"}}, {21, {20, "/x"}}};
  const int32_t top = applicationProcess(loop, 20);
  EXPECT_TRUE(top == 20 || top == 21);
}

}  // namespace
}  // namespace lumewell::app_audio
