#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

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
using lumewell::testing::pumpUntil;
using lumewell::testing::readFile;
using lumewell::testing::writeFile;
using testing::ArchiveEntry;
using testing::ArchiveFormat;
using testing::executable;
using testing::file;
using testing::makeArchive;
using testing::RecordingDelegate;
using testing::SigningKey;
using testing::symlink;
using Calls = std::vector<std::string>;

const std::string& kMarker = testing::kBundleMarker;
using testing::newBuild;

struct Release {
  std::string version;
  std::string display;
  std::string enclosure;  // the url attribute as written in the feed
  int64_t length = 0;
  std::string signature;
};

std::string appcast(const std::vector<Release>& releases) {
  std::string xml = R"(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle">
<channel><title>Lumewell Recorder</title>
)";
  for (const Release& r : releases) {
    xml += "<item><title>" + r.version + "</title><sparkle:version>" + r.version +
           "</sparkle:version>";
    if (!r.display.empty()) {
      xml += "<sparkle:shortVersionString>" + r.display + "</sparkle:shortVersionString>";
    }
    xml += "<enclosure url=\"" + r.enclosure + "\" length=\"" + std::to_string(r.length) +
           "\" type=\"application/octet-stream\" sparkle:os=\"linux\"";
    if (!r.signature.empty()) xml += " sparkle:edSignature=\"" + r.signature + "\"";
    xml += "/></item>\n";
  }
  return xml + "</channel></rss>\n";
}

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

  AppcastEngineConfig config() {
    AppcastEngineConfig c;
    c.runningVersion = "1.0.0";
    c.publicKeyBase64 = key.publicKeyBase64();
    c.installationFolder = prefix;
    c.downloadFolder = cache;
    c.relaunch = [this](const std::string& exe) { relaunched.push_back(exe); };
    return c;
  }

  void startEngine() {
    engine = std::make_shared<AppcastUpdateEngine>(delegate, scheduler, config());
    engine->start();
  }

  // Serves a signed 1.2.0 release next to the feed, plus an older one, and returns it.
  Release publish(const std::string& archive, const std::string& signature) {
    server.serve("/feeds/files/lumewell-1.2.0.tar.gz", archive);
    Release r{"1.2.0", "1.2", "files/lumewell-1.2.0.tar.gz", static_cast<int64_t>(archive.size()),
              signature};
    server.serve("/feeds/appcast.xml",
                 appcast({{"0.9", "", "files/old.tar.gz", 10, key.signBase64("x")}, r}));
    return r;
  }

  bool untouched() const {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(temp.path() + "/opt", ec)) {
      if (e.path().filename() != "lumewell") return false;  // no unpack or previous folder
    }
    bool cacheEmpty = true;
    for (const auto& e : fs::recursive_directory_iterator(cache, ec)) {
      if (e.is_regular_file()) cacheEmpty = false;
    }
    return readFile(prefix + "/bin/lumewell-recorder") == "old build" &&
           readFile(prefix + "/share/data.txt") == "old data" && cacheEmpty && relaunched.empty();
  }

  std::string errorText() const {
    return delegate->lastError ? delegate->lastError->localizedDescription : "<no error>";
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
  const std::string archive = makeArchive(newBuild());
  publish(archive, key.signBase64(archive));
  delegate->postponeRelaunch = true;
  startEngine();
  engine->checkForUpdates();
  ASSERT_TRUE(pumpUntil(scheduler, [&] { return delegate->saw("postpone?"); }));
  EXPECT_EQ(delegate->calls, (Calls{"found 1.2", "downloaded 1.2", "postpone? 1.2"}));
  EXPECT_EQ(readFile(prefix + "/bin/lumewell-recorder"), "old build");  // held back
  EXPECT_EQ(readFile(cache + "/lumewell-recorder-1.2.0.archive"), archive);
  EXPECT_FALSE(fs::exists(cache + "/lumewell-recorder-1.2.0.archive.partial"));

  // While one update waits for its relaunch, another user check is turned away.
  engine->checkForUpdates();
  EXPECT_EQ(delegate->calls.back(), "finish updates error");
  EXPECT_NE(errorText().find("already being downloaded or installed"), std::string::npos);
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
    const char* name;
    std::string archive;
    std::string signature;
    size_t truncatedBy;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {"tampered archive", tampered, key.signBase64(good), 0, "does not match"},
      {"wrong key", good, otherKey.signBase64(good), 0, "does not match"},
      {"unsigned", good, "", 0, "not signed"},
      {"truncated download", good, key.signBase64(good), 100, "truncated"},
      {"entries escaping the folder", escaping, key.signBase64(escaping), 0, "outside its folder"},
      {"no executable", noExecutable, key.signBase64(noExecutable), 0, "does not contain"},
      {"older archive", older, key.signBase64(older), 0,
       "holds version 0.9, not the version 1.2.0"},
      {"no version file", noVersion, key.signBase64(noVersion), 0, "no valid lumewell-version"},
      {"no bundle marker", noMarker, key.signBase64(noMarker), 0, "not a Lumewell Recorder bundle"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
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
    EXPECT_TRUE(delegate->saw("abort"));
    EXPECT_FALSE(delegate->saw("willRelaunch"));
    EXPECT_NE(errorText().find(c.expected), std::string::npos) << errorText();
    EXPECT_TRUE(untouched());
    EXPECT_FALSE(fs::exists(temp.path() + "/escaped.txt"));
    engine.reset();
  }
}

TEST_F(AppcastEngineTest, AnInstallationThatCannotBeReplacedDownloadsNothing) {
  const std::string archive = makeArchive(newBuild());
  publish(archive, key.signBase64(archive));
  std::filesystem::remove(prefix + "/bin/lumewell-recorder");
  writeFile(prefix + "/bin/other", "x", 0755);
  startEngine();
  engine->checkForUpdates();
  ASSERT_TRUE(pumpUntil(scheduler, [&] { return delegate->cycleEnded(); }));
  EXPECT_EQ(delegate->calls, (Calls{"found 1.2", "abort", "finish updates error"}));
  EXPECT_NE(errorText().find("is not an installation of Lumewell Recorder"), std::string::npos);
  EXPECT_EQ(server.requestCount("/feeds/files/lumewell-1.2.0.tar.gz"), 0);
}

TEST_F(AppcastEngineTest, NothingNewerMeansNoUpdateAndNoDownload) {
  server.serve("/feeds/appcast.xml",
               appcast({{"0.9", "", "old.tar.gz", 5, key.signBase64("a")},
                        {"1.0.0", "1.0", "same.tar.gz", 5, key.signBase64("b")},
                        {"1.0.0-hotfix", "", "same2.tar.gz", 5, key.signBase64("c")}}));
  startEngine();
  engine->checkForUpdates();
  ASSERT_TRUE(pumpUntil(scheduler, [&] { return delegate->cycleEnded(); }));
  EXPECT_EQ(delegate->calls, (Calls{"notFound", "finish updates"}));
  engine->checkForUpdateInformation();
  ASSERT_TRUE(pumpUntil(scheduler, [&] { return delegate->calls.size() == 4; }));
  EXPECT_EQ(delegate->calls,
            (Calls{"notFound", "finish updates", "notFound", "finish information"}));
  EXPECT_EQ(server.requestCount("/feeds/old.tar.gz"), 0);
  EXPECT_EQ(server.requestCount("/feeds/same.tar.gz"), 0);
  EXPECT_TRUE(untouched());
}

TEST_F(AppcastEngineTest, InformationCheckReportsAndDownloadsNothingAndFeedFailuresAbort) {
  const std::string archive = makeArchive(newBuild());
  publish(archive, key.signBase64(archive));
  startEngine();
  engine->checkForUpdateInformation();
  ASSERT_TRUE(pumpUntil(scheduler, [&] { return delegate->cycleEnded(); }));
  EXPECT_EQ(delegate->calls, (Calls{"found 1.2", "finish information"}));
  EXPECT_EQ(server.requestCount("/feeds/files/lumewell-1.2.0.tar.gz"), 0);

  // A redirect to another loopback path is followed.
  server.redirect("/moved.xml", server.url("/feeds/appcast.xml"));
  delegate->feed = server.url("/moved.xml");
  delegate->calls.clear();
  engine->checkForUpdateInformation();
  ASSERT_TRUE(pumpUntil(scheduler, [&] { return delegate->cycleEnded(); }));
  EXPECT_EQ(delegate->calls, (Calls{"found 1.2", "finish information"}));

  struct Case {
    const char* name;
    std::function<void()> arrange;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {"10 MiB feed",
       [&] { server.serve("/feeds/appcast.xml", std::string(10 << 20, ' ') + "<rss/>"); },
       "larger than 2 MiB"},
      {"missing feed", [&] { delegate->feed = server.url("/nothing.xml"); }, "HTTP 404"},
      {"truncated feed",
       [&] { server.serveTruncated("/feeds/appcast.xml", "<rss><channel>", 500); }, "truncated"},
      {"not XML", [&] { server.serve("/feeds/appcast.xml", "{\"json\": true}"); }, "not valid XML"},
      {"no feed", [&] { delegate->feed.reset(); }, "No update feed is configured."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    freshDelegate();
    engine = std::make_shared<AppcastUpdateEngine>(delegate, scheduler, config());
    c.arrange();
    engine->checkForUpdateInformation();
    ASSERT_TRUE(pumpUntil(scheduler, [&] { return delegate->cycleEnded(); }));
    EXPECT_EQ(delegate->calls, (Calls{"abort", "finish information error"}));
    EXPECT_NE(errorText().find(c.expected), std::string::npos) << errorText();
  }
  EXPECT_TRUE(untouched());
}

TEST_F(AppcastEngineTest, BackgroundChecksDownloadSilentlyAndInstallOnQuit) {
  const std::string archive = makeArchive(newBuild());
  publish(archive, key.signBase64(archive));
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
  EXPECT_EQ(delegate->calls.back(), "finish background");

  // The application quits: the waiting update is installed, nothing is relaunched.
  EXPECT_FALSE(engine->installPendingOnQuit());
  EXPECT_EQ(readFile(prefix + "/bin/lumewell-recorder"), "new build");
  EXPECT_TRUE(relaunched.empty());
  EXPECT_FALSE(engine->installPendingOnQuit());  // nothing left
}

TEST_F(AppcastEngineTest, TheImmediateInstallBlockInstallsAndRelaunchesNow) {
  const std::string archive = makeArchive(newBuild(), ArchiveFormat::zip);
  publish(archive, key.signBase64(archive));
  startEngine();
  scheduler.advance(1h);
  ASSERT_TRUE(pumpUntil(scheduler, [&] { return delegate->cycleEnded(); }));
  ASSERT_TRUE(delegate->heldInstall);
  delegate->heldInstall();
  ASSERT_TRUE(pumpUntil(scheduler, [&] { return !relaunched.empty(); }));
  EXPECT_EQ(delegate->calls, (Calls{"found 1.2", "downloaded 1.2", "installOnQuit 1.2",
                                    "finish background", "postpone? 1.2", "willInstall 1.2",
                                    "postpone? 1.2", "postpone? 1.2", "willRelaunch"}));
  EXPECT_EQ(readFile(prefix + "/bin/lumewell-recorder"), "new build");
  EXPECT_FALSE(engine->installPendingOnQuit());  // already installed
}

TEST(ArchiveUnpack, ReadsEachFormatAndRefusesWhatWouldEscape) {
  const std::vector<ArchiveEntry> entries = {executable("top/bin/lumewell-recorder", "exe"),
                                             file("top/share/a.txt", "a", 04777),
                                             symlink("top/lib/current", "../share/a.txt")};
  for (ArchiveFormat format : {ArchiveFormat::tarGz, ArchiveFormat::tarXz, ArchiveFormat::zip}) {
    lumewell::testing::TempDir dir;
    const std::string archive = makeArchive(entries, format);
    auto err = unpackArchive({reinterpret_cast<const uint8_t*>(archive.data()), archive.size()},
                             dir.path());
    ASSERT_FALSE(err) << err->localizedDescription;
    EXPECT_EQ(readFile(dir.path() + "/top/bin/lumewell-recorder"), "exe");
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
      // A link to a folder inside, then a file written through it, is refused too: nothing
      // is ever written through a link.
      {symlink("inside", "."), file("inside/x", "x")},
      // Links that each stay inside but lead out together, in either order.
      {symlink("d/up", ".."), symlink("esc", "d/up/..")},
      {symlink("esc", "d/up/.."), symlink("d/up", "..")},
      {file("twice", "1"), file("twice", "2")},
      {{"hard", "", ArchiveEntry::Kind::hardlink, "/etc/passwd", 0644}},
      {},
  };
  for (const auto& bad : refused) {
    lumewell::testing::TempDir dir;
    const std::string archive = makeArchive(bad);
    EXPECT_TRUE(unpackArchive({reinterpret_cast<const uint8_t*>(archive.data()), archive.size()},
                              dir.path()))
        << (bad.empty() ? "<empty>" : bad.back().path);
  }
  // Size limits count what the entries declare, not only what is written.
  {
    lumewell::testing::TempDir dir;
    const std::string big = makeArchive({file("big", std::string(4096, 'x'))});
    UnpackLimits limits;
    limits.maxTotalBytes = 1000;
    auto err = unpackArchive({reinterpret_cast<const uint8_t*>(big.data()), big.size()}, dir.path(),
                             limits);
    ASSERT_TRUE(err);
    EXPECT_NE(err->localizedDescription.find("more than the allowed size"), std::string::npos);
  }
  lumewell::testing::TempDir dir;
  const std::string garbage = "this is not an archive";
  EXPECT_TRUE(unpackArchive({reinterpret_cast<const uint8_t*>(garbage.data()), garbage.size()},
                            dir.path()));
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
  // A plain prefix install: updated by its package manager or by reinstalling.
  auto plain = checkUpdatableFolder(dir.path());
  ASSERT_TRUE(plain);
  EXPECT_NE(plain->localizedDescription.find("package manager or by reinstalling"),
            std::string::npos);
  writeFile(dir.path() + "/lumewell-bundle", "application=other.App\nlayout=1\n");
  EXPECT_TRUE(checkUpdatableFolder(dir.path()));
  writeFile(dir.path() + "/lumewell-bundle", kMarker);
  EXPECT_FALSE(checkUpdatableFolder(dir.path()));

  // An archive wrapping everything in one top folder installs from inside it.
  const std::string archive =
      makeArchive({executable("lumewell-recorder-1.2/bin/lumewell-recorder", "wrapped"),
                   file("lumewell-recorder-1.2/lumewell-bundle", kMarker),
                   file("lumewell-recorder-1.2/lumewell-version", "1.2")});
  auto installed = installArchive(
      {reinterpret_cast<const uint8_t*>(archive.data()), archive.size()}, dir.path());
  ASSERT_TRUE(installed) << installed.error().localizedDescription;
  EXPECT_EQ(*installed, dir.path() + "/bin/lumewell-recorder");
  EXPECT_EQ(readFile(*installed), "wrapped");
  EXPECT_EQ(readFile(previousVersionFolder(dir.path()) + "/bin/lumewell-recorder"), "x");
  removeLeftovers(dir.path());
  EXPECT_FALSE(fs::exists(previousVersionFolder(dir.path())));
}

}  // namespace
}  // namespace lumewell::updater
