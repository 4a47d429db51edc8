#include <gtest/gtest.h>

#include <filesystem>

#include "support/fake_messenger.h"
#include "support/loopback_http_server.h"
#include "support/main_loop_helpers.h"
#include "support/test_files.h"
#include "update_test_support.h"
#include "updater/appcast_update_engine.h"
#include "updater/updater_plugin.h"

namespace lumewell::updater {
namespace {

namespace fs = std::filesystem;
using lumewell::testing::pumpUntil;
using lumewell::testing::readFile;
using lumewell::testing::writeFile;

constexpr const char* kHeld = "Update relaunch is deferred until recording and uploads are idle.";

// The plug-in on the real engine, as the host wires them: a loopback feed offering a signed
// 1.2.0, the recorder's state behind a flag.
class UpdateSafetyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    writeFile(installation + "/bin/lumewell-recorder", "old build", 0755);
    writeFile(installation + "/lumewell-bundle", testing::kBundleMarker);
    const std::string archive = testing::makeArchive(testing::newBuild());
    server.serve("/lumewell-1.2.0.tar.gz", archive);
    server.serve("/appcast.xml", testing::appcast({{"1.2.0", "1.2", "lumewell-1.2.0.tar.gz",
                                                    archive.size(), key.signBase64(archive)}}));
    plugin = std::make_shared<LumewellUpdaterPlugin>(
        [this](std::weak_ptr<UpdaterDelegate> delegate) {
          return std::make_shared<AppcastUpdateEngine>(
              std::move(delegate), scheduler,
              AppcastEngineConfig{"1.0.0", key.publicKeyBase64(), installation,
                                  temp.path() + "/cache",
                                  [this](const std::string& exe) { relaunched.push_back(exe); }});
        },
        scheduler);
    plugin->setRecorderBusy([this] { return recording; });
    plugin->registerChannels(messenger);
    messenger.onEvent = [this](const std::string&, const Value& event) {
      if (onEvent) onEvent(*event.asMap());
    };
    messenger.call("lumewell/updater/events", "listen");
  }

  void call(const std::string& method, Value arguments = Value()) {
    EXPECT_TRUE(messenger.call("lumewell/updater", method, arguments)->isSuccess()) << method;
  }

  void checkForUpdates() {
    call("configure", ValueMap{{"channel", "stable"}, {"feedUrl", server.url("/appcast.xml")}});
    call("checkForUpdates");
  }

  std::string last(const char* key) {
    const auto& events = messenger.events["lumewell/updater/events"];
    const std::string* s = events.empty() ? nullptr : mapString(events.back().asMap(), key);
    return s != nullptr ? *s : "<absent>";
  }

  lumewell::testing::TempDir temp;
  std::string installation = temp.path() + "/opt/lumewell-recorder";
  testing::SigningKey key;
  lumewell::testing::LoopbackHttpServer server;
  VirtualScheduler scheduler;
  lumewell::testing::FakeMessenger messenger;
  std::shared_ptr<LumewellUpdaterPlugin> plugin;
  std::function<void(const ValueMap&)> onEvent;
  std::vector<std::string> relaunched;
  bool recording = false;
};

TEST_F(UpdateSafetyTest, APlainPrefixInstallIsNeitherDownloadedIntoNorReplaced) {
  // cmake --install --prefix ~/.local: the prefix holds other programs and the user's data.
  const std::string home = temp.path() + "/home";
  installation = home + "/.local";
  writeFile(installation + "/bin/lumewell-recorder", "old build", 0755);
  writeFile(installation + "/bin/other-program", "someone else's", 0755);
  writeFile(installation + "/share/notes/todo.txt", "the user's notes");
  checkForUpdates();
  ASSERT_TRUE(pumpUntil(scheduler, [&] { return last("error") != "<absent>"; }));
  EXPECT_NE(last("error").find("not installed as an application bundle"), std::string::npos);
  EXPECT_NE(last("error").find("updated by its package manager or by reinstalling it"),
            std::string::npos);
  EXPECT_EQ(server.requestCount("/lumewell-1.2.0.tar.gz"), 0);
  EXPECT_EQ(readFile(installation + "/bin/lumewell-recorder"), "old build");
  EXPECT_EQ(readFile(installation + "/bin/other-program"), "someone else's");
  EXPECT_EQ(readFile(installation + "/share/notes/todo.txt"), "the user's notes");
  std::vector<std::string> beside;
  for (const auto& e : fs::directory_iterator(home)) beside.push_back(e.path().filename());
  EXPECT_EQ(beside, std::vector<std::string>{".local"});  // no unpack or previous folder
  EXPECT_TRUE(relaunched.empty());
  EXPECT_EQ(last("deferredUpdateVersion"), "<absent>");
}

// A guard lowered, or a recording started, while the archive unpacks holds the swap and the
// relaunch; a recording holds them whatever asks, until it and the guard both allow.
TEST_F(UpdateSafetyTest, AGuardOrARecordingHoldsTheUpdateUntilBothAllow) {
  for (bool byRecording : {false, true}) {
    SCOPED_TRACE(byRecording ? "recording" : "guard");
    onEvent = [this, byRecording](const ValueMap& event) {
      const std::string* message = mapString(&event, "message");
      if (message == nullptr || *message != "Installing update 1.2.") return;
      onEvent = nullptr;
      if (byRecording) {
        recording = true;
      } else {
        call("setInstallGuard", ValueMap{{"installAllowed", false}});
      }
    };
    checkForUpdates();
    // Held before the swap: the archive is unpacked, nothing is replaced or relaunched.
    ASSERT_TRUE(pumpUntil(scheduler, [&] { return last("message") == kHeld; }));
    scheduler.runPending();
    EXPECT_EQ(readFile(installation + "/bin/lumewell-recorder"), "old build");
    EXPECT_TRUE(relaunched.empty());
    EXPECT_EQ(last("deferredUpdateVersion"), "1.2");
    if (byRecording) {
      // Neither the Dart side's release nor raising the guard interrupts the recording.
      call("installDeferredUpdate");
      call("setInstallGuard", ValueMap{{"installAllowed", true}});
      plugin->recorderBecameIdle();  // a stale notice while still recording
      scheduler.runPending();
      EXPECT_TRUE(relaunched.empty());
      // Idle again, but the guard is down now: still held.
      call("setInstallGuard", ValueMap{{"installAllowed", false}});
      recording = false;
      plugin->recorderBecameIdle();
      scheduler.runPending();
      EXPECT_TRUE(relaunched.empty());
      EXPECT_EQ(readFile(installation + "/bin/lumewell-recorder"), "old build");
    }
    call("setInstallGuard", ValueMap{{"installAllowed", true}});
    ASSERT_TRUE(pumpUntil(scheduler, [&] { return !relaunched.empty(); }));
    EXPECT_EQ(readFile(installation + "/bin/lumewell-recorder"), "new build");
    EXPECT_EQ(last("message"), "Relaunching into the updated Lumewell Recorder build.");
    EXPECT_EQ(relaunched.size(), 1u);
    relaunched.clear();
    writeFile(installation + "/bin/lumewell-recorder", "old build", 0755);
  }
}

}  // namespace
}  // namespace lumewell::updater
