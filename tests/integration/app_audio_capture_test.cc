// Application capture against a private sound server: the catalogue, capturing one player
// only (also across a move to another sink), late, silent, exited and lost players.
#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "app_audio/app_audio_capture_session.h"
#include "app_audio/catalogue_rules.h"
#include "app_audio/pulse_app_audio_services.h"
#include "support/audio_test_helpers.h"
#include "support/main_loop_helpers.h"
#include "support/pulse_server.h"

namespace lumewell::app_audio {
namespace {

using lumewell::testing::Child;
using lumewell::testing::commandOutput;
using lumewell::testing::player;
using lumewell::testing::PulseServer;
using lumewell::testing::spinUntil;
using lumewell::testing::TempDir;
using lumewell::testing::tonePower;

constexpr double kToneA = 660.0;
constexpr double kToneB = 1500.0;

// What a capture hands on, as the recording's live mix would take it.
class CollectingFeed final : public recorder::AppAudioFeed {
 public:
  void push(const float* stereo, size_t frames) override {
    std::lock_guard lock(mutex_);
    pcm_.insert(pcm_.end(), stereo, stereo + frames * 2);
  }
  void restart() override {
    std::lock_guard lock(mutex_);
    ++restarts_;
  }
  // The left channel.
  std::vector<float> mono() const {
    std::lock_guard lock(mutex_);
    std::vector<float> out(pcm_.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) out[i] = pcm_[i * 2];
    return out;
  }
  int restarts() const {
    std::lock_guard lock(mutex_);
    return restarts_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<float> pcm_;
  int restarts_ = 0;
};

struct Capture {
  std::shared_ptr<CollectingFeed> feed = std::make_shared<CollectingFeed>();
  std::unique_ptr<LumewellAppAudioCaptureSession> session;
  std::vector<std::string> stops;
};

std::unique_ptr<Capture> makeCapture(int64_t pid) {
  auto c = std::make_unique<Capture>();
  recorder::AppAudioTarget target;
  target.processId = pid;
  Capture* raw = c.get();
  c->session = std::make_unique<LumewellAppAudioCaptureSession>(
      target, c->feed, [raw](std::string reason) { raw->stops.push_back(std::move(reason)); },
      CaptureSessionOptions{});
  return c;
}

// Runs start or stop and spins the main loop until its completion came.
OptionalError await(const std::function<void(std::function<void(OptionalError)>)>& op) {
  bool done = false;
  OptionalError result;
  op([&](OptionalError e) {
    EXPECT_FALSE(done) << "completion called twice";
    EXPECT_TRUE(g_main_context_is_owner(g_main_context_default()));  // the main thread
    done = true;
    result = std::move(e);
  });
  EXPECT_TRUE(spinUntil(g_main_context_default(), [&] { return done; }));
  return result;
}

// The index of the playback stream of process pid on the server at address, or empty.
std::string sinkInputOf(pid_t pid, const std::string& address) {
  const std::string out = commandOutput("PULSE_SERVER='" + address + "' pactl list sink-inputs");
  const size_t at = out.find("application.process.id = \"" + std::to_string(pid) + "\"");
  const size_t head = at == std::string::npos ? at : out.rfind("Sink Input #", at);
  if (head == std::string::npos) return {};
  return out.substr(head + 12, out.find('\n', head) - head - 12);
}

class AppAudioCapture : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = new PulseServer();
    std::string error;
    ASSERT_TRUE(server_->start(&error)) << error;
    address_ = server_->address();
    server_->exportEnvironment();  // the host's one connection goes to the default server
    ASSERT_EQ(pactl("load-module module-null-sink sink_name=vsink2 rate=48000 channels=2"), 0);
    // A silent low-latency player keeps the second sink rendering in small steps, as the
    // server keeps its own sinks: an idle null sink sleeps through a 2 s block first.
    keepAwake_.push_back(
        new Child({"paplay", "--client-name=Keep awake", "--latency-msec=20", "-d", "vsink2",
                   "--raw", "--rate=48000", "--channels=2", "--format=s16le", "/dev/zero"},
                  address_));
    std::this_thread::sleep_for(std::chrono::milliseconds(2300));
    tones_ = new TempDir();
    ASSERT_TRUE(PulseServer::makeToneWav(wav("a"), 30, -6, kToneA));
    ASSERT_TRUE(PulseServer::makeToneWav(wav("b"), 30, -6, kToneB));
    ASSERT_TRUE(PulseServer::makeToneWav(wav("short"), 1, -6, kToneA));
    ready_ = true;
  }
  // A failed suite set-up would otherwise show as skipped tests, not failed ones.
  void SetUp() override { ASSERT_TRUE(ready_) << "the test sound server did not start"; }
  static int pactl(const std::string& args) {
    const std::string line = "PULSE_SERVER='" + address_ + "' pactl " + args + " >/dev/null 2>&1";
    return std::system(line.c_str()) == 0 ? 0 : 1;
  }

  static void TearDownTestSuite() {
    for (Child* c : keepAwake_) delete c;
    keepAwake_.clear();
    delete tones_;
    delete server_;
    tones_ = nullptr;
    server_ = nullptr;
    ready_ = false;
  }
  static std::string wav(const std::string& name) { return tones_->path() + "/" + name + ".wav"; }

  PulseAppAudioServices services() {
    PulseAppAudioOptions o;
    o.desktopEntryId = [](const std::string&) { return std::string(); };
    return PulseAppAudioServices(o);
  }

  // Waits until the server lists a playback stream of this process.
  static bool playing(pid_t pid) {
    return spinUntil(g_main_context_default(),
                     [pid] { return !sinkInputOf(pid, address_).empty(); });
  }

  std::vector<recorder::AppAudioSource> list(PulseAppAudioServices& s) {
    std::promise<std::vector<recorder::AppAudioSource>> p;
    s.listSources([&p](std::vector<recorder::AppAudioSource> v) { p.set_value(std::move(v)); });
    return p.get_future().get();
  }

  std::pair<bool, std::optional<std::string>> validate(PulseAppAudioServices& s,
                                                       const std::string& id) {
    std::promise<std::pair<bool, std::optional<std::string>>> p;
    s.validateSource(id, [&p](bool ok, std::optional<std::string> m) { p.set_value({ok, m}); });
    return p.get_future().get();
  }

  Result<recorder::AppAudioTarget> resolve(PulseAppAudioServices& s, const std::string& id) {
    std::promise<Result<recorder::AppAudioTarget>> p;
    s.resolveCaptureTarget(id, [&p](Result<recorder::AppAudioTarget> r) { p.set_value(r); });
    return p.get_future().get();
  }

  static void spinFor(int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    spinUntil(
        g_main_context_default(), [&] { return std::chrono::steady_clock::now() >= until; },
        std::chrono::milliseconds(ms + 1000));
  }

  inline static PulseServer* server_ = nullptr;
  inline static std::string address_;
  inline static std::vector<Child*> keepAwake_;
  inline static TempDir* tones_ = nullptr;
  inline static bool ready_ = false;
  TempDir dir_;
};

TEST_F(AppAudioCapture, CatalogueValidationAndResolution) {
  Child b(player("tone Bravo", "vsink2", wav("b")), address_);
  Child a(player("Tone Alpha", "vsink", wav("a")), address_);
  ASSERT_TRUE(playing(a.pid()));
  ASSERT_TRUE(playing(b.pid()));
  auto s = services();

  // Other clients of the server (the harness's silent players) may be listed too; the host
  // is not, the two players are, in order (the ordering rules are the catalogue's unit test).
  auto all = list(s);
  std::vector<recorder::AppAudioSource> sources;
  std::vector<std::string> names;
  for (const auto& source : all) {
    EXPECT_NE(source.processId, getpid());
    if (source.processId == a.pid() || source.processId == b.pid()) {
      sources.push_back(source);
      names.push_back(source.name);
    }
  }
  ASSERT_EQ(names, (std::vector<std::string>{"Tone Alpha", "tone Bravo"}));
  EXPECT_EQ(sources[0].id, std::to_string(a.pid()));
  EXPECT_EQ(sources[0].bundleId, "pacat");  // no application.id, no desktop entry
  auto fields = recorder::appAudioSourceFields(sources[1]);
  ASSERT_EQ(fields.size(), 2u);
  EXPECT_EQ(fields[0], (std::pair<std::string, std::string>{"id", std::to_string(b.pid())}));
  EXPECT_EQ(fields[1], (std::pair<std::string, std::string>{"displayName", "tone Bravo"}));

  EXPECT_EQ(validate(s, sources[0].id), (std::pair<bool, std::optional<std::string>>{true, {}}));
  EXPECT_EQ(validate(s, "abc"), (std::pair<bool, std::optional<std::string>>{
                                    false, "The selected desktop app audio source is invalid."}));

  auto target = resolve(s, "+" + sources[1].id);
  ASSERT_TRUE(target.ok());
  EXPECT_EQ(target->processId, b.pid());
  EXPECT_EQ(target->displayName, "vsink2");  // where its stream plays

  const std::string exitedId = std::to_string(a.pid());
  a.stop();
  EXPECT_EQ(validate(s, exitedId),
            (std::pair<bool, std::optional<std::string>>{
                false, "The selected desktop app is no longer available to capture."}));
  auto gone = resolve(s, exitedId);
  ASSERT_FALSE(gone.ok());
  EXPECT_EQ(gone.error().code, 34);
  EXPECT_EQ(list(s).size(), all.size() - 1);
}

TEST_F(AppAudioCapture, RecordsOnlyTheTargetApplication) {
  Child a(player("Tone Alpha", "vsink", wav("a")), address_);
  Child b(player("tone Bravo", "vsink2", wav("b")), address_);
  ASSERT_TRUE(playing(a.pid()));
  ASSERT_TRUE(playing(b.pid()));

  auto c = makeCapture(a.pid());
  EXPECT_EQ(await([&](auto done) { c->session->start(done); }), std::nullopt);
  spinFor(1500);
  // Moved to the other sink mid-way: followed to that sink's monitor.
  const std::string index = sinkInputOf(a.pid(), address_);
  ASSERT_FALSE(index.empty());
  ASSERT_EQ(pactl("move-sink-input " + index + " vsink2"), 0);
  spinFor(1500);
  EXPECT_EQ(await([&](auto done) { c->session->stop(done); }), std::nullopt);
  EXPECT_TRUE(c->stops.empty());
  EXPECT_EQ(c->feed->restarts(), 1);

  auto pcm = c->feed->mono();
  // Both halves are there (a loaded machine starts and re-creates monitor streams late).
  ASSERT_GT(pcm.size(), 48000u * 3 / 2);
  // Tone power averaged over blocks: the move re-creates the monitor stream, and a phase jump
  // there would cancel a single whole-file measurement.
  const double pa = lumewell::testing::meanTonePower(pcm, 0, pcm.size(), kToneA);
  const double pb = lumewell::testing::meanTonePower(pcm, 0, pcm.size(), kToneB);
  EXPECT_GT(pa, 0.01) << "the target's tone";
  const size_t n = pcm.size();
  EXPECT_GT(tonePower(pcm, n - 24000, n, kToneA), pa / 4) << "after the move";
  EXPECT_LT(pb, pa / 1000) << "the other player's tone";
}

TEST_F(AppAudioCapture, APlayerStartingLateIsCapturedFromThenOn) {
  // The process exists from the start; it becomes a player (same pid) one second in.
  Child late(
      {"sh", "-c",
       "sleep 1; exec paplay --client-name=Late -d vsink --latency-msec=1000 '" + wav("a") + "'"},
      address_);
  auto c = makeCapture(late.pid());
  EXPECT_EQ(await([&](auto done) { c->session->start(done); }), std::nullopt);
  ASSERT_TRUE(playing(late.pid()));
  spinFor(2000);
  EXPECT_EQ(await([&](auto done) { c->session->stop(done); }), std::nullopt);
  EXPECT_TRUE(c->stops.empty());
  // What is handed on starts at the first sound: the tone is there from its first frames on.
  auto pcm = c->feed->mono();
  EXPECT_GT(pcm.size(), 48000u / 4);
  EXPECT_GT(tonePower(pcm, 0, 9600, kToneA), 0.01);
}

TEST_F(AppAudioCapture, ExitedSilentAndGonePlayers) {
  Child shortPlayer(player("Short", "vsink", wav("short")), address_);
  ASSERT_TRUE(playing(shortPlayer.pid()));
  auto c = makeCapture(shortPlayer.pid());
  EXPECT_EQ(await([&](auto done) { c->session->start(done); }), std::nullopt);
  ASSERT_TRUE(spinUntil(g_main_context_default(), [&] { return !c->stops.empty(); }));
  spinFor(500);
  EXPECT_EQ(c->stops, std::vector<std::string>{
                          "The selected desktop app is no longer available to capture."});
  shortPlayer.reap();
  EXPECT_EQ(await([&](auto done) { c->session->stop(done); }), std::nullopt);
  EXPECT_EQ(c->stops.size(), 1u);
  auto pcm = c->feed->mono();
  EXPECT_GT(tonePower(pcm, 0, pcm.size(), kToneA), 0.01);

  // A live process that never plays: nothing is handed on; a second stop answers at once.
  Child quiet({"sleep", "30"}, address_);
  c = makeCapture(quiet.pid());
  EXPECT_EQ(await([&](auto done) { c->session->start(done); }), std::nullopt);
  spinFor(300);
  EXPECT_EQ(await([&](auto done) { c->session->stop(done); }), std::nullopt);
  EXPECT_TRUE(c->feed->mono().empty());
  EXPECT_EQ(await([&](auto done) { c->session->stop(done); }), std::nullopt);

  const pid_t gone = quiet.pid();
  quiet.stop();
  auto d = makeCapture(gone);
  auto error = await([&](auto done) { d->session->start(done); });
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(appAudioErrorMessage(*error),
            "The selected desktop app is no longer available to capture.");
  d->session.reset();
  EXPECT_TRUE(d->feed->mono().empty());
}

TEST_F(AppAudioCapture, CancelCallsNothing) {
  Child a(player("Tone Alpha", "vsink", wav("a")), address_);
  ASSERT_TRUE(playing(a.pid()));
  auto c = makeCapture(a.pid());
  EXPECT_EQ(await([&](auto done) { c->session->start(done); }), std::nullopt);
  spinFor(1000);
  bool called = false;
  c->session->stop([&](OptionalError) { called = true; });
  c->session->cancel();
  spinFor(300);
  EXPECT_TRUE(called);  // a stop asked for before the cancel still answers
  c->session.reset();

  auto e = makeCapture(a.pid());
  bool startCalled = false;
  e->session->start([&](OptionalError) { startCalled = true; });
  e->session->cancel();
  spinFor(300);
  EXPECT_FALSE(startCalled);
  a.stop();
  spinFor(300);
  EXPECT_TRUE(e->stops.empty());
}

// A server of its own: this test kills it.
TEST(AppAudioCaptureServerLoss, ALostServerStopsTheCapture) {
  PulseServer server;
  std::string error;
  ASSERT_TRUE(server.start(&error)) << error;
  server.exportEnvironment();
  TempDir dir;
  ASSERT_TRUE(PulseServer::makeToneWav(dir.path() + "/a.wav", 30, -6, kToneA));
  Child a(player("Tone Alpha", "vsink", dir.path() + "/a.wav"), server.address());
  ASSERT_TRUE(spinUntil(g_main_context_default(),
                        [&] { return !sinkInputOf(a.pid(), server.address()).empty(); }));
  auto c = makeCapture(a.pid());
  EXPECT_EQ(await([&](auto done) { c->session->start(done); }), std::nullopt);
  // A null sink that ran at a long latency delivers its first monitor block late.
  std::this_thread::sleep_for(std::chrono::milliseconds(3000));
  // Held still, the player cannot end on the lost connection before the capture notices it.
  ::kill(a.pid(), SIGSTOP);
  server.kill9();
  ASSERT_TRUE(spinUntil(g_main_context_default(), [&] { return !c->stops.empty(); }));
  ASSERT_EQ(c->stops.size(), 1u);
  EXPECT_NE(c->stops[0].find("Lost the connection to the sound server"), std::string::npos)
      << c->stops[0];
  EXPECT_EQ(await([&](auto done) { c->session->stop(done); }), std::nullopt);
  EXPECT_GT(tonePower(c->feed->mono(), 0, 24000, kToneA), 0.01);
}

}  // namespace
}  // namespace lumewell::app_audio
