#include "app_audio/snapshot_builder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>

namespace lumewell::app_audio {
namespace {

using ::testing::ElementsAre;

constexpr int32_t kHost = 500;

struct FakeProcesses : ProcessTable {
  std::optional<int32_t> parent(int32_t pid) const override {
    auto it = procs.find(pid);
    return it == procs.end() ? std::nullopt : std::optional(it->second.first);
  }
  std::string program(int32_t pid) const override {
    auto it = procs.find(pid);
    return it == procs.end() ? std::string() : it->second.second;
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
  EXPECT_EQ(applicationProcess(procs, 211), 200);
  EXPECT_EQ(applicationProcess(procs, 200), 200);
  EXPECT_EQ(applicationProcess(procs, 300), 300);
  EXPECT_EQ(applicationProcess(procs, 9999), 9999);  // gone: itself
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
