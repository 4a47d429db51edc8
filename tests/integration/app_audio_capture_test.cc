// Application capture against a private sound server: the catalogue, capturing one player
// only (also across a move to another sink), cancelled captures, late, silent, exited and lost
// players.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "app_audio/app_audio_capture_session.h"
#include "app_audio/catalogue_rules.h"
#include "app_audio/pulse_app_audio_services.h"
#include "support/audio_test_helpers.h"
#include "support/sound_server_fixture.h"

namespace lumewell::app_audio {
namespace {

using namespace std::chrono_literals;
using lumewell::testing::meanTonePower;
using lumewell::testing::player;
using lumewell::testing::tonePower;

constexpr double kToneA = 660.0;
constexpr double kToneB = 1500.0;
const char* const kNoLongerAvailable =
    "The selected desktop app is no longer available to capture.";

// What a capture hands on, as the recording's live mix would take it: the left channel.
struct CollectingFeed final : recorder::AppAudioFeed {
  void push(const float* stereo, size_t frames) override {
    std::lock_guard lock(mutex);
    for (size_t i = 0; i < frames; ++i) left.push_back(stereo[i * 2]);
  }
  void restart() override { ++restarts; }
  std::vector<float> mono() {
    std::lock_guard lock(mutex);
    return left;
  }
  std::atomic<int> restarts{0};
  std::mutex mutex;
  std::vector<float> left;
};

struct Capture {
  explicit Capture(int64_t pid)
      : session(std::make_unique<LumewellAppAudioCaptureSession>(
            recorder::AppAudioTarget{.processId = pid}, feed,
            [this](std::string reason) { stops.push_back(std::move(reason)); },
            CaptureSessionOptions{})) {}
  std::shared_ptr<CollectingFeed> feed = std::make_shared<CollectingFeed>();
  std::unique_ptr<LumewellAppAudioCaptureSession> session;
  std::vector<std::string> stops;
};

// The services' answer, waited for.
template <typename T, typename Op>
T answerOf(Op op) {
  std::promise<T> answer;
  op([&answer](T value) { answer.set_value(std::move(value)); });
  return answer.get_future().get();
}

using Validation = std::pair<bool, std::optional<std::string>>;

class AppAudioCapture : public testing::SoundServerTest {
 protected:
  AppAudioCapture() : SoundServerTest({.secondSink = true}, /*defaultContext=*/true) {}

  // Runs the session's start or stop and spins the main loop until its completion came.
  OptionalError await(Capture& c, bool start) {
    bool done = false;
    OptionalError result;
    auto completion = [&](OptionalError e) {
      EXPECT_FALSE(done) << "completion called twice";
      EXPECT_TRUE(g_main_context_is_owner(ctx));  // the main thread
      done = true;
      result = std::move(e);
    };
    start ? c.session->start(completion) : c.session->stop(completion);
    EXPECT_TRUE(spin([&] { return done; }));
    return result;
  }

  PulseAppAudioServices services{
      PulseAppAudioOptions{.desktopEntryId = [](const std::string&) { return std::string(); }}};
  std::vector<recorder::AppAudioSource> list() {
    return answerOf<std::vector<recorder::AppAudioSource>>(
        [&](auto done) { services.listSources(done); });
  }
  Validation validate(const std::string& id) {
    return answerOf<Validation>([&](auto done) {
      services.validateSource(id, [done](bool ok, auto message) { done({ok, message}); });
    });
  }
  Result<recorder::AppAudioTarget> resolve(const std::string& id) {
    return answerOf<Result<recorder::AppAudioTarget>>(
        [&](auto done) { services.resolveCaptureTarget(id, done); });
  }
};

// The catalogue of two players, resolved and validated; capturing only one of them, also
// across a move to the other's sink; cancelled sessions; an exited player; the server lost.
TEST_F(AppAudioCapture, CatalogueAndCaptureOfOnePlayerUntilCancelledOrTheServerIsLost) {
  const pid_t b = server.launch(player("tone Bravo", "vsink2", tone("b", 30, -6, kToneB)));
  const pid_t a = server.launch(player("Tone Alpha", "vsink", tone("a", 30, -6, kToneA)));
  ASSERT_TRUE(playing(a) && playing(b));

  // Other clients of the server (the harness's silent players) may be listed too; the host
  // is not, the two players are, in order (the ordering rules are the catalogue's unit test).
  auto all = list();
  std::vector<recorder::AppAudioSource> sources;
  for (const auto& source : all) {
    EXPECT_NE(source.processId, getpid());
    if (source.processId == a || source.processId == b) sources.push_back(source);
  }
  ASSERT_EQ(sources.size(), 2u);
  EXPECT_EQ(sources[0].name, "Tone Alpha");
  EXPECT_EQ(sources[1].name, "tone Bravo");
  EXPECT_EQ(sources[0].id, std::to_string(a));
  EXPECT_EQ(sources[0].bundleId, "pacat");  // no application.id, no desktop entry
  EXPECT_EQ(validate(sources[0].id), (Validation{true, {}}));  // ids' syntax: catalogue rules
  auto target = resolve("+" + sources[1].id);
  ASSERT_TRUE(target.ok());
  EXPECT_EQ(target->processId, b);
  EXPECT_EQ(target->displayName, "vsink2");  // where its stream plays

  Capture c(a);
  EXPECT_EQ(await(c, true), std::nullopt);
  wait(1500ms);
  // Moved to the other sink mid-way: followed to that sink's monitor.
  const std::string index = sinkInputOf(a);
  ASSERT_FALSE(index.empty());
  ASSERT_EQ(server.runClient({"pactl", "move-sink-input", index, "vsink2"}), 0);
  wait(1500ms);
  EXPECT_EQ(await(c, false), std::nullopt);
  EXPECT_TRUE(c.stops.empty());
  EXPECT_EQ(c.feed->restarts.load(), 1);

  auto pcm = c.feed->mono();
  // Both halves are there (a loaded machine starts and re-creates monitor streams late).
  ASSERT_GT(pcm.size(), 48000u * 3 / 2);
  // Tone power averaged over blocks: the move re-creates the monitor stream, and a phase jump
  // there would cancel a single whole-file measurement.
  const double pa = meanTonePower(pcm, 0, pcm.size(), kToneA);
  EXPECT_GT(pa, 0.01) << "the target's tone";
  EXPECT_GT(tonePower(pcm, pcm.size() - 24000, pcm.size(), kToneA), pa / 4) << "after the move";
  EXPECT_LT(meanTonePower(pcm, 0, pcm.size(), kToneB), pa / 1000) << "the other player's tone";

  // Cancelled, a session calls nothing more: a stop asked for before still answers, a start
  // does not, nor does the loss of the server below.
  Capture cancelled(a), unstarted(a);
  EXPECT_EQ(await(cancelled, true), std::nullopt);
  bool stopCalled = false, startCalled = false;
  cancelled.session->stop([&](OptionalError) { stopCalled = true; });
  cancelled.session->cancel();
  unstarted.session->start([&](OptionalError) { startCalled = true; });
  unstarted.session->cancel();
  wait(300ms);
  EXPECT_TRUE(stopCalled);
  EXPECT_FALSE(startCalled);

  server.end(b);
  EXPECT_EQ(validate(std::to_string(b)), (Validation{false, kNoLongerAvailable}));
  auto gone = resolve(std::to_string(b));
  ASSERT_FALSE(gone.ok());
  EXPECT_EQ(gone.error().code, 34);
  EXPECT_EQ(list().size(), all.size() - 1);

  Capture lost(a);
  EXPECT_EQ(await(lost, true), std::nullopt);
  // A null sink that ran at a long latency delivers its first monitor block late.
  std::this_thread::sleep_for(3000ms);
  // Held still, the player cannot end on the lost connection before the capture notices it.
  ::kill(a, SIGSTOP);
  server.kill9();
  ASSERT_TRUE(spin([&] { return !lost.stops.empty(); }));
  ::kill(a, SIGCONT);
  ASSERT_EQ(lost.stops.size(), 1u);
  EXPECT_NE(lost.stops[0].find("Lost the connection to the sound server"), std::string::npos)
      << lost.stops[0];
  EXPECT_EQ(await(lost, false), std::nullopt);
  EXPECT_GT(tonePower(lost.feed->mono(), 0, 24000, kToneA), 0.01);
  EXPECT_TRUE(unstarted.stops.empty());
  EXPECT_TRUE(cancelled.stops.empty());
}

TEST_F(AppAudioCapture, LateExitedSilentAndGonePlayers) {
  // A process there from the start becomes a player (same pid) one second in.
  const pid_t late =
      server.launch({"sh", "-c",
                     "sleep 1; exec paplay --client-name=Late -d vsink --latency-msec=1000 '" +
                         tone("a", 30, -6, kToneA) + "'"});
  auto c = std::make_unique<Capture>(late);
  EXPECT_EQ(await(*c, true), std::nullopt);
  ASSERT_TRUE(playing(late));
  wait(2000ms);
  EXPECT_EQ(await(*c, false), std::nullopt);
  EXPECT_TRUE(c->stops.empty());
  // What is handed on starts at the first sound: the tone is there from its first frames on.
  auto pcm = c->feed->mono();
  EXPECT_GT(pcm.size(), 48000u / 4);
  EXPECT_GT(tonePower(pcm, 0, 9600, kToneA), 0.01);

  // A player that ends: lost once, with what it played.
  const pid_t shortPlayer = server.launch(player("Short", "vsink", tone("short", 1, -6, kToneA)));
  ASSERT_TRUE(playing(shortPlayer));
  c = std::make_unique<Capture>(shortPlayer);
  EXPECT_EQ(await(*c, true), std::nullopt);
  ASSERT_TRUE(spin([&] { return !c->stops.empty(); }));
  wait(500ms);
  EXPECT_EQ(c->stops, std::vector<std::string>{kNoLongerAvailable});
  server.end(shortPlayer);
  EXPECT_EQ(await(*c, false), std::nullopt);
  EXPECT_EQ(c->stops.size(), 1u);
  pcm = c->feed->mono();
  EXPECT_GT(tonePower(pcm, 0, pcm.size(), kToneA), 0.01);

  // A live process that never plays: nothing is handed on; a second stop answers at once.
  const pid_t quiet = server.launch({"sleep", "30"});
  c = std::make_unique<Capture>(quiet);
  EXPECT_EQ(await(*c, true), std::nullopt);
  wait(300ms);
  EXPECT_EQ(await(*c, false), std::nullopt);
  EXPECT_TRUE(c->feed->mono().empty());
  EXPECT_EQ(await(*c, false), std::nullopt);

  server.end(quiet);
  Capture d(quiet);
  auto error = await(d, true);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(appAudioErrorMessage(*error), kNoLongerAvailable);
  d.session.reset();
  EXPECT_TRUE(d.feed->mono().empty());
}

}  // namespace
}  // namespace lumewell::app_audio
