#include <gtest/gtest.h>

#include <filesystem>

#include "support/loopback_http_server.h"
#include "support/main_loop_helpers.h"
#include "support/test_files.h"
#include "update_test_support.h"
#include "updater/appcast_update_engine.h"
#include "updater/archive_unpack.h"
#include "updater/installation.h"

namespace lumewell::updater {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace testing;
using lumewell::testing::pumpUntil;
using lumewell::testing::readFile;
using lumewell::testing::writeFile;
using Calls = std::vector<std::string>;
const std::string& kMarker = testing::kBundleMarker;

class AppcastEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    writeFile(prefix + "/bin/lumewell-recorder", "old build", 0755);
    writeFile(prefix + "/share/data.txt", "old data");
    writeFile(prefix + "/lumewell-bundle", kMarker);
    freshDelegate();
  }

  void freshDelegate() {
    delegate = std::make_shared<RecordingDelegate>();
    delegate->feed = server.url("/feeds/appcast.xml");
  }

  void startEngine() {
    engine = std::make_shared<AppcastUpdateEngine>(
        delegate, scheduler,
        AppcastEngineConfig{"1.0.0", key.publicKeyBase64(), prefix, cache,
                            [this](const std::string& exe) { relaunched.push_back(exe); }});
    engine->start();
  }

  // Serves the archive as a signed 1.2.0 next to the feed, after an older release.
  void publish(const std::string& archive, const std::string& signature) {
    server.serve("/feeds/files/lumewell-1.2.0.tar.gz", archive);
    server.serve(
        "/feeds/appcast.xml",
        appcast({{"0.9", "", "files/old.tar.gz", 10, key.signBase64("x")},
                 {"1.2.0", "1.2", "files/lumewell-1.2.0.tar.gz", archive.size(), signature}}));
  }
  void publishGood(ArchiveFormat format = ArchiveFormat::tarGz) {
    const std::string archive = makeArchive(newBuild(), format);
    publish(archive, key.signBase64(archive));
  }

  bool untouched() const {
    for (const auto& e : fs::directory_iterator(temp.path() + "/opt")) {
      if (e.path().filename() != "lumewell") return false;  // no unpack or previous folder
    }
    std::error_code ec;
    for (const auto& e : fs::recursive_directory_iterator(cache, ec)) {
      if (e.is_regular_file()) return false;
    }
    return readFile(prefix + "/bin/lumewell-recorder") == "old build" &&
           readFile(prefix + "/share/data.txt") == "old data" && relaunched.empty();
  }
  void expectError(const std::string& text) const {
    ASSERT_TRUE(delegate->lastError);
    EXPECT_NE(delegate->lastError->localizedDescription.find(text), std::string::npos)
        << delegate->lastError->localizedDescription;
  }

  lumewell::testing::TempDir temp;
  const std::string prefix = temp.path() + "/opt/lumewell";
  const std::string cache = temp.path() + "/cache/updates";
  SigningKey key;
  lumewell::testing::LoopbackHttpServer server;
  VirtualScheduler scheduler;
  std::shared_ptr<RecordingDelegate> delegate;
  std::vector<std::string> relaunched;
  std::shared_ptr<AppcastUpdateEngine> engine;
};

TEST_F(AppcastEngineTest, UserCheckInstallsASignedNewerUpdateOnceTheRelaunchIsReleased) {
  publishGood();
  delegate->postponeRelaunch = true;
  startEngine();
  engine->checkForUpdates();
  ASSERT_TRUE(pumpUntil(scheduler, [&] { return delegate->saw("postpone?"); }));
  EXPECT_EQ(delegate->calls, (Calls{"found 1.2", "downloaded 1.2", "postpone? 1.2"}));
  EXPECT_EQ(readFile(prefix + "/bin/lumewell-recorder"), "old build");  // held back
  EXPECT_FALSE(fs::exists(cache + "/lumewell-recorder-1.2.0.archive.partial"));

  // While one update waits for its relaunch, another user check is turned away.
  engine->checkForUpdates();
  EXPECT_EQ(delegate->calls.back(), "finish updates error");
  expectError("already being downloaded or installed");
  delegate->calls.resize(3);

  delegate->postponeRelaunch = false;
  delegate->heldRelaunch();
  delegate->heldRelaunch();  // a second call changes nothing
  ASSERT_TRUE(pumpUntil(scheduler, [&] { return !relaunched.empty(); }));
  scheduler.runPending();
  // Asked again right before the swap and right before the relaunch.
  EXPECT_EQ(delegate->calls,
            (Calls{"found 1.2", "downloaded 1.2", "postpone? 1.2", "willInstall 1.2",
                   "postpone? 1.2", "postpone? 1.2", "willRelaunch"}));
  EXPECT_EQ(relaunched, Calls{prefix + "/bin/lumewell-recorder"});
  EXPECT_EQ(readFile(prefix + "/bin/lumewell-recorder"), "new build");
  EXPECT_EQ(readFile(prefix + "/share/data.txt"), "new data");
  EXPECT_EQ(fs::status(prefix + "/bin/lumewell-recorder").permissions() & fs::perms::owner_exec,
            fs::perms::owner_exec);
  // The old version waits beside it until the new one has started; nothing else is left.
  const std::string previous = previousVersionFolder(prefix);
  EXPECT_EQ(readFile(previous + "/bin/lumewell-recorder"), "old build");
  EXPECT_EQ(std::distance(fs::directory_iterator(temp.path() + "/opt"), {}), 2);
  EXPECT_FALSE(fs::exists(cache + "/lumewell-recorder-1.2.0.archive"));

  // The new version's engine, once started, clears the previous version away.
  engine.reset();
  startEngine();
  ASSERT_TRUE(pumpUntil(scheduler, [&] { return !fs::exists(previous); }));
}

TEST_F(AppcastEngineTest, RefusedUpdatesInstallNothing) {
  SigningKey otherKey;
  const std::string good = makeArchive(newBuild());
  std::string tampered = good;
  tampered[tampered.size() / 2] ^= 0x01;
  // (What the unpack refuses is ArchiveUnpack's own test; one case shows the engine stops.)
  const std::string escaping = makeArchive(
      {executable("bin/lumewell-recorder", "new build"), file("../../escaped.txt", "gotcha")});
  const std::string noExecutable = makeArchive({file("share/data.txt", "new data")});
  // Properly signed, but an older build announced under the newer number.
  const std::string older = makeArchive(newBuild("0.9"));
  auto without = [](const std::string& name) {
    auto entries = newBuild();
    std::erase_if(entries, [&](const ArchiveEntry& e) { return e.path == name; });
    return makeArchive(entries);
  };
  const std::string noVersion = without("lumewell-version");
  const std::string noMarker = without("lumewell-bundle");

  struct Case {
    std::string archive, signature;
    size_t truncatedBy;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {tampered, key.signBase64(good), 0, "does not match"},
      {good, otherKey.signBase64(good), 0, "does not match"},
      {good, "", 0, "not signed"},
      {good, key.signBase64(good), 100, "truncated"},
      {escaping, key.signBase64(escaping), 0, "outside its folder"},
      {noExecutable, key.signBase64(noExecutable), 0, "does not contain"},
      {older, key.signBase64(older), 0, "holds version 0.9, not the version 1.2.0"},
      {noVersion, key.signBase64(noVersion), 0, "no valid lumewell-version"},
      {noMarker, key.signBase64(noMarker), 0, "not a Lumewell Recorder bundle"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    freshDelegate();
    publish(c.archive, c.signature);
    if (c.truncatedBy > 0) {
      server.serveTruncated("/feeds/files/lumewell-1.2.0.tar.gz",
                            c.archive.substr(0, c.archive.size() - c.truncatedBy), c.truncatedBy);
    }
    startEngine();
    engine->checkForUpdates();
    ASSERT_TRUE(pumpUntil(scheduler, [&] { return delegate->cycleEnded(); }));
    EXPECT_EQ(delegate->calls.back(), "finish updates error");
    EXPECT_FALSE(delegate->saw("willRelaunch"));
    expectError(c.expected);
    EXPECT_TRUE(untouched());
    EXPECT_FALSE(fs::exists(temp.path() + "/escaped.txt"));
    engine.reset();
  }
}

// Checks that end without downloading anything: nothing newer, an information check, a folder
// that is no installation of ours, and feeds that fail.
TEST_F(AppcastEngineTest, ChecksThatDownloadNothing) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
    bool information;
    Calls expected;
    const char* error;
  };
  const Calls failed{"abort", "finish information error"};
  const std::vector<Case> cases = {
      {"nothing newer",
       [&] {
         server.serve("/feeds/appcast.xml",
                      appcast({{"0.9", "", "old.tar.gz", 5, key.signBase64("a")},
                               {"1.0.0", "1.0", "same.tar.gz", 5, key.signBase64("b")},
                               {"1.0.0-hotfix", "", "same2.tar.gz", 5, key.signBase64("c")}}));
       },
       false, Calls{"notFound", "finish updates"}, nullptr},
      {"information check", [&] { publishGood(); }, true, Calls{"found 1.2", "finish information"},
       nullptr},
      {"redirected feed",
       [&] {
         server.redirect("/moved.xml", server.url("/feeds/appcast.xml"));
         delegate->feed = server.url("/moved.xml");
       },
       true, Calls{"found 1.2", "finish information"}, nullptr},
      {"not our installation",
       [&] {
         fs::rename(prefix + "/bin/lumewell-recorder", prefix + "/bin/other");
         publishGood();
       },
       false, Calls{"found 1.2", "abort", "finish updates error"},
       "is not an installation of Lumewell Recorder"},
      {"10 MiB feed",
       [&] { server.serve("/feeds/appcast.xml", std::string(10 << 20, ' ') + "<rss/>"); }, true,
       failed, "larger than 2 MiB"},
      {"missing feed", [&] { delegate->feed = server.url("/nothing.xml"); }, true, failed,
       "HTTP 404"},
      {"truncated feed",
       [&] { server.serveTruncated("/feeds/appcast.xml", "<rss><channel>", 500); }, true, failed,
       "truncated"},
      {"not XML", [&] { server.serve("/feeds/appcast.xml", "{\"json\": true}"); }, true, failed,
       "not valid XML"},
      {"no feed", [&] { delegate->feed.reset(); }, true, failed, "No update feed is configured."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    freshDelegate();
    c.arrange();
    startEngine();
    c.information ? engine->checkForUpdateInformation() : engine->checkForUpdates();
    ASSERT_TRUE(pumpUntil(scheduler, [&] { return delegate->cycleEnded(); }));
    EXPECT_EQ(delegate->calls, c.expected);
    if (c.error != nullptr) expectError(c.error);
    EXPECT_EQ(server.requestCount("/feeds/files/lumewell-1.2.0.tar.gz"), 0);
    EXPECT_EQ(server.requestCount("/feeds/same.tar.gz"), 0);
    EXPECT_TRUE(relaunched.empty());
    engine.reset();
  }
  EXPECT_EQ(readFile(prefix + "/share/data.txt"), "old data");
}

TEST_F(AppcastEngineTest, BackgroundChecksDownloadSilentlyAndInstallOnQuit) {
  publishGood();
  startEngine();
  scheduler.advance(59min);
  EXPECT_EQ(server.requestCount("/feeds/appcast.xml"), 0);
  scheduler.advance(1min);  // an hour after start
  ASSERT_TRUE(pumpUntil(scheduler, [&] { return delegate->cycleEnded(); }));
  EXPECT_EQ(delegate->calls,
            (Calls{"found 1.2", "downloaded 1.2", "installOnQuit 1.2", "finish background"}));
  EXPECT_EQ(readFile(prefix + "/bin/lumewell-recorder"), "old build");

  // Every 24 hours after that; the verified download is reused.
  scheduler.advance(24h - 1s);
  EXPECT_EQ(server.requestCount("/feeds/appcast.xml"), 1);
  delegate->calls.clear();
  scheduler.advance(1s);
  ASSERT_TRUE(pumpUntil(scheduler, [&] { return delegate->cycleEnded(); }));
  EXPECT_EQ(server.requestCount("/feeds/appcast.xml"), 2);
  EXPECT_EQ(server.requestCount("/feeds/files/lumewell-1.2.0.tar.gz"), 1);

  // The application quits: the waiting update is installed, nothing is relaunched.
  EXPECT_FALSE(engine->installPendingOnQuit());
  EXPECT_EQ(readFile(prefix + "/bin/lumewell-recorder"), "new build");
  EXPECT_TRUE(relaunched.empty());
  EXPECT_FALSE(engine->installPendingOnQuit());  // nothing left
}

TEST_F(AppcastEngineTest, TheImmediateInstallBlockInstallsAndRelaunchesNow) {
  publishGood(ArchiveFormat::zip);
  startEngine();
  scheduler.advance(1h);
  ASSERT_TRUE(pumpUntil(scheduler, [&] { return delegate->cycleEnded(); }));
  ASSERT_TRUE(delegate->heldInstall);
  delegate->heldInstall();
  ASSERT_TRUE(pumpUntil(scheduler, [&] { return !relaunched.empty(); }));
  EXPECT_EQ(delegate->calls.back(), "willRelaunch");
  EXPECT_EQ(readFile(prefix + "/bin/lumewell-recorder"), "new build");
  EXPECT_FALSE(engine->installPendingOnQuit());  // already installed
}

TEST(ArchiveUnpack, ReadsEachFormatAndRefusesWhatWouldEscape) {
  const std::vector<ArchiveEntry> entries = {executable("top/bin/lumewell-recorder", "exe"),
                                             file("top/share/a.txt", "a", 04777),
                                             symlink("top/lib/current", "../share/a.txt")};
  for (ArchiveFormat format : {ArchiveFormat::tarGz, ArchiveFormat::tarXz, ArchiveFormat::zip}) {
    lumewell::testing::TempDir dir;
    auto err = unpackArchive(bytes(makeArchive(entries, format)), dir.path());
    ASSERT_FALSE(err) << err->localizedDescription;
    EXPECT_EQ(readFile(dir.path() + "/top/lib/current"), "a");
    const auto perms = fs::status(dir.path() + "/top/share/a.txt").permissions();
    EXPECT_EQ(perms & (fs::perms::set_uid | fs::perms::others_write), fs::perms::none);
    EXPECT_EQ(
        fs::status(dir.path() + "/top/bin/lumewell-recorder").permissions() & fs::perms::owner_exec,
        fs::perms::owner_exec);
  }

  const std::vector<std::vector<ArchiveEntry>> refused = {
      {file("/etc/evil", "x")},
      {file("a/../../evil", "x")},
      {symlink("link", "/etc")},
      {symlink("a/link", "../../evil")},
      // Nothing is ever written through a link, even one to a folder inside.
      {symlink("inside", "."), file("inside/x", "x")},
      // Links that each stay inside but lead out together, in either order.
      {symlink("d/up", ".."), symlink("esc", "d/up/..")},
      {symlink("esc", "d/up/.."), symlink("d/up", "..")},
      {file("twice", "1"), file("twice", "2")},
      {{"hard", "/etc/passwd", ArchiveEntry::Kind::hardlink}},
      {},
  };
  for (const auto& bad : refused) {
    lumewell::testing::TempDir dir;
    EXPECT_TRUE(unpackArchive(bytes(makeArchive(bad)), dir.path()))
        << (bad.empty() ? "<empty>" : bad.back().path);
  }
  lumewell::testing::TempDir dir;
  EXPECT_TRUE(unpackArchive(bytes("this is not an archive"), dir.path()));
  // Size limits count what the entries declare, not only what is written.
  UnpackLimits limits;
  limits.maxTotalBytes = 1000;
  auto err =
      unpackArchive(bytes(makeArchive({file("big", std::string(4096, 'x'))})), dir.path(), limits);
  ASSERT_TRUE(err);
  EXPECT_NE(err->localizedDescription.find("more than the allowed size"), std::string::npos);
}

TEST(Installation, FolderOfTheExecutableAndFoldersAnUpdateMustNotReplace) {
  EXPECT_EQ(*installationFolderOf("/opt/lumewell/bin/lumewell-recorder"), "/opt/lumewell");
  EXPECT_FALSE(installationFolderOf("/opt/lumewell/lumewell-recorder"));
  EXPECT_FALSE(installationFolderOf("/bin/lumewell-recorder"));
  for (const char* shared : {"/", "/usr", "/usr/local", "/opt", "/tmp"}) {
    EXPECT_TRUE(checkUpdatableFolder(shared)) << shared;
  }
  lumewell::testing::TempDir dir;
  EXPECT_TRUE(checkUpdatableFolder(dir.path()));  // not an installation of this application
  writeFile(dir.path() + "/bin/lumewell-recorder", "x", 0755);
  writeFile(dir.path() + "/lumewell-bundle", "application=other.App\nlayout=1\n");
  EXPECT_TRUE(checkUpdatableFolder(dir.path()));
  writeFile(dir.path() + "/lumewell-bundle", kMarker);
  EXPECT_FALSE(checkUpdatableFolder(dir.path()));

  // An archive wrapping everything in one top folder installs from inside it.
  auto installed =
      installArchive(bytes(makeArchive({executable("top-1.2/bin/lumewell-recorder", "wrapped"),
                                        file("top-1.2/lumewell-bundle", kMarker),
                                        file("top-1.2/lumewell-version", "1.2")})),
                     dir.path());
  ASSERT_TRUE(installed) << installed.error().localizedDescription;
  EXPECT_EQ(*installed, dir.path() + "/bin/lumewell-recorder");
  EXPECT_EQ(readFile(*installed), "wrapped");
  EXPECT_EQ(readFile(previousVersionFolder(dir.path()) + "/bin/lumewell-recorder"), "x");
  removeLeftovers(dir.path());
  EXPECT_FALSE(fs::exists(previousVersionFolder(dir.path())));
}

}  // namespace
}  // namespace lumewell::updater
