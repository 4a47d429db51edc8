// The recorder plug-in on the real services against a private PulseAudio: what a Dart side
// sees of a recording, down to the bytes of the sealed files.
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "app_audio/pulse_app_audio_services.h"
#include "channels/method_channel.h"
#include "media/media_probe.h"
#include "pulse/pulse_audio_services.h"
#include "recorder/recorder_plugin.h"
#include "runtime/glib_scheduler.h"
#include "support/audio_test_helpers.h"
#include "support/fake_messenger.h"
#include "support/forwarding_services.h"
#include "support/main_loop_helpers.h"
#include "support/pulse_server.h"
#include "support/test_files.h"

namespace lumewell {
namespace {

using namespace std::chrono_literals;
using recorder::LumewellNativeRecorderPlugin;
using testing::commandOutput;
using testing::PulseServer;
using testing::spinUntil;

// Recordings of this test program go below a private data home, set before anything asks.
const bool kDataHomeSet = !testing::privateDataHome().empty();
using testing::privateDataHome;

int modeOf(const std::filesystem::path& path) { return testing::fileMode(path.string()); }

int64_t intOf(const ValueMap& m, const char* key) {
  int64_t v = -1;
  if (const Value* x = m.find(key)) x->asInt64(&v);
  return v;
}

using testing::decodeMono;

class RecorderSession : public ::testing::Test {
 protected:
  void SetUp() override {
    // The recordings are private whatever the umask.
    savedUmask = ::umask(022);
    std::string error;
    ASSERT_TRUE(server.start(&error)) << error;
    server.exportEnvironment();
    ASSERT_TRUE(PulseServer::makeToneWav(folder.path() + "/tone.wav", 120, -6, 1000));
    ASSERT_GT(server.play(folder.path() + "/tone.wav"), 0);
    ctx = g_main_context_new();
    scheduler = std::make_unique<GLibScheduler>(ctx);
    app_audio::PulseAppAudioOptions options;
    options.scheduler = scheduler.get();
    usePlugin(std::make_shared<app_audio::PulseAppAudioServices>(options));
  }
  void usePlugin(std::shared_ptr<recorder::AppAudioServices> appAudio) {
    plugin = std::make_shared<LumewellNativeRecorderPlugin>(
        *scheduler, std::make_shared<pulse::PulseAudioServices>(), std::move(appAudio));
    plugin->registerChannels(messenger);
    ASSERT_TRUE(messenger.call(LumewellNativeRecorderPlugin::kEventChannel, "listen")->isSuccess());
  }
  void TearDown() override {
    plugin.reset();
    scheduler.reset();
    g_main_context_unref(ctx);
    ::umask(savedUmask);
  }
  // Calls a method and waits (bounded) for its answer.
  MethodEnvelope call(const std::string& method, const Value& args = Value()) {
    auto answer = messenger.call(LumewellNativeRecorderPlugin::kMethodChannel, method, args);
    EXPECT_TRUE(spinUntil(
        ctx, [&] { return answer->answered(); }, 20s))
        << method;
    return answer->envelope.value_or(MethodEnvelope{});
  }
  const std::vector<Value>& events() {
    return messenger.events[LumewellNativeRecorderPlugin::kEventChannel];
  }
  std::vector<ValueMap> ofType(const std::string& type) {
    std::vector<ValueMap> out;
    for (const auto& e : testing::eventsOfType(events(), type)) out.push_back(*e.asMap());
    return out;
  }
  void wait(std::chrono::milliseconds d) {
    spinUntil(
        ctx, [] { return false; }, d);
  }
  Value startArgs(const std::string& id) {
    return Value(ValueMap{{"recordingId", Value(id)}, {"captureMode", Value("MIC_ONLY")}});
  }
  void expectIntactSegment(const ValueMap& sealed, int64_t index) {
    std::string path = *mapString(&sealed, "path");
    char name[32];
    std::snprintf(name, sizeof name, "%06lld.m4a", static_cast<long long>(index));
    EXPECT_EQ(std::filesystem::path(path).filename(), name);
    EXPECT_EQ(intOf(sealed, "index"), index);
    EXPECT_EQ(intOf(sealed, "byteLength"), static_cast<int64_t>(std::filesystem::file_size(path)));
    EXPECT_EQ(modeOf(path), 0600);
    EXPECT_EQ(modeOf(std::filesystem::path(path).parent_path()), 0700);
    EXPECT_EQ(commandOutput("sha256sum '" + path + "' | cut -c1-64"),
              *mapString(&sealed, "sha256") + "\n");
    std::string probe = commandOutput(
        "ffprobe -v error -select_streams a:0 -show_entries "
        "stream=codec_name,profile,sample_rate,channels -of csv=p=0 '" +
        path + "'");
    EXPECT_EQ(probe, "aac,LC,48000,1\n") << path;
    auto ms = media::mediaDurationMs(path);
    ASSERT_TRUE(ms.has_value());
    EXPECT_EQ(intOf(sealed, "durationMs"), *ms);
  }

  mode_t savedUmask = 0;
  testing::TempDir folder;
  PulseServer server;
  GMainContext* ctx = nullptr;
  std::unique_ptr<GLibScheduler> scheduler;
  testing::FakeMessenger messenger;
  std::shared_ptr<LumewellNativeRecorderPlugin> plugin;
};

TEST_F(RecorderSession, PauseResumeStopSealsTwoSegmentsThatMatchTheirRecords) {
  const std::string recordings = privateDataHome() + "/app.lumewell.Recorder/recordings";
  std::filesystem::create_directories(recordings);
  ::chmod(recordings.c_str(), 0755);
  ASSERT_EQ(call("startRecording", startArgs("it-pause")).kind, MethodEnvelope::Kind::success);
  wait(1500ms);
  ASSERT_EQ(call("pauseRecording").kind, MethodEnvelope::Kind::success);
  wait(300ms);
  ASSERT_EQ(call("resumeRecording").kind, MethodEnvelope::Kind::success);
  wait(1500ms);
  ASSERT_EQ(call("stopRecording").kind, MethodEnvelope::Kind::success);

  auto sealed = ofType("segment_sealed");
  ASSERT_EQ(sealed.size(), 2u);
  expectIntactSegment(sealed[0], 0);
  expectIntactSegment(sealed[1], 1);
  EXPECT_EQ(events().back(), Value(ValueMap{{"type", Value("stopped")}}));
  // The levels read the tone's average power (-9 dBFS: 0.35), the first may hold the start-up.
  auto levels = ofType("level_changed");
  ASSERT_GE(levels.size(), 3u);
  EXPECT_NEAR(levels.back().find("level")->get<double>(), 0.354, 0.06);

  // The two segments joined into one upload file: exactly their samples, index in front.
  std::string first = *mapString(&sealed[0], "path"), second = *mapString(&sealed[1], "path");
  std::string output = folder.path() + "/upload/deep/recording.m4a";
  auto assembled = call(
      "assembleRecording",
      Value(ValueMap{{"segmentPaths", Value(ValueList{Value(first), Value(""), Value(second)})},
                     {"outputPath", Value(output)}}));
  ASSERT_EQ(assembled.kind, MethodEnvelope::Kind::success);
  EXPECT_EQ(modeOf(output), 0600);
  EXPECT_EQ(modeOf(folder.path() + "/upload/deep"), 0700);
  // The recordings folder, there before with a wider mode, was narrowed.
  EXPECT_EQ(modeOf(privateDataHome() + "/app.lumewell.Recorder/recordings"), 0700);
  auto samples = [](const std::string& path) {
    return commandOutput(
        "ffprobe -v error -select_streams a:0 -show_entries stream=duration_ts "
        "-of csv=p=0 '" +
        path + "'");
  };
  EXPECT_EQ(std::stoll(samples(output)), std::stoll(samples(first)) + std::stoll(samples(second)));
  EXPECT_EQ(commandOutput("ffprobe -v trace '" + output +
                          "' 2>&1 | grep -o -m2 \"type:'m[od][oa][vt]'\""),
            "type:'moov'\ntype:'mdat'\n");
}

TEST_F(RecorderSession, ASoundServerThatDiesEndsTheRecordingWithWhatItHeardAndAnError) {
  ASSERT_EQ(call("startRecording", startArgs("it-kill")).kind, MethodEnvelope::Kind::success);
  wait(1000ms);
  ASSERT_EQ(call("pauseRecording").kind, MethodEnvelope::Kind::success);
  ASSERT_EQ(call("resumeRecording").kind, MethodEnvelope::Kind::success);
  wait(1500ms);
  server.kill9();
  // Noticed by itself: the segment cut short is sealed from what was captured, then the
  // session ends as a failed rotation does.
  EXPECT_TRUE(spinUntil(
      ctx, [&] { return !ofType("error").empty(); }, 20s));
  EXPECT_EQ(testing::eventTypes(events()),
            (std::vector<std::string>{"segment_sealed", "segment_sealed", "error"}));
  EXPECT_EQ(*mapString(&ofType("error")[0], "message"),
            "Failed to rotate recording segment: The connection to the sound server was lost.");
  EXPECT_EQ(plugin->runtimeState(), recorder::RuntimeState::idle);
  auto sealed = ofType("segment_sealed");
  ASSERT_EQ(sealed.size(), 2u);
  expectIntactSegment(sealed[1], 1);
  EXPECT_GT(intOf(sealed[1], "durationMs"), 1000);

  // Every call still answers.
  auto stop = call("stopRecording");
  EXPECT_EQ(stop.kind, MethodEnvelope::Kind::success);
  auto storage = call("getStorageStatus");
  EXPECT_EQ(storage.kind, MethodEnvelope::Kind::success);
  auto preflight = call("runPreflight", Value(ValueMap{{"captureMode", Value("MIC_ONLY")}}));
  ASSERT_EQ(preflight.kind, MethodEnvelope::Kind::success);
  EXPECT_EQ(*mapBool(preflight.result.asMap(), "ready"), false);
  auto restart = call("startRecording", startArgs("it-kill-2"));
  EXPECT_EQ(restart.kind, MethodEnvelope::Kind::error);
  EXPECT_EQ(plugin->runtimeState(), recorder::RuntimeState::idle);
  expectIntactSegment(sealed[0], 0);

  // The server coming back makes recording possible again.
  std::string error;
  ASSERT_TRUE(server.restart(&error)) << error;
  ASSERT_GT(server.play(folder.path() + "/tone.wav"), 0);
  ASSERT_EQ(call("startRecording", startArgs("it-kill-3")).kind, MethodEnvelope::Kind::success);
  wait(700ms);
  ASSERT_EQ(call("stopRecording").kind, MethodEnvelope::Kind::success);
  expectIntactSegment(ofType("segment_sealed").back(), 0);
}

// The real application services, except that a capture target resolves only after a delay, as
// on a busy machine where the catalogue query and the capture's connection take their time.
class SlowToResolve final : public testing::ForwardingAppAudioServices {
 public:
  SlowToResolve(std::shared_ptr<recorder::AppAudioServices> real, std::chrono::milliseconds delay)
      : ForwardingAppAudioServices(std::move(real)), delay_(delay) {}
  ~SlowToResolve() override {
    for (auto& t : waits_) t.join();
  }
  void resolveCaptureTarget(const std::string& id,
                            std::function<void(Result<recorder::AppAudioTarget>)> done) override {
    waits_.emplace_back([this, id, done = std::move(done)]() mutable {
      std::this_thread::sleep_for(delay_);
      ForwardingAppAudioServices::resolveCaptureTarget(id, std::move(done));
    });
  }

 private:
  std::chrono::milliseconds delay_;
  std::vector<std::thread> waits_;
};

TEST_F(RecorderSession, AnUnpluggedMicrophoneFollowsTheMoveUntilNoSourceIsLeft) {
  auto unload = [&](const std::string& sink) {
    std::string index =
        commandOutput("pactl list short modules | awk '/sink_name=" + sink + "( |$)/{print $1}'");
    ASSERT_FALSE(index.empty()) << sink;
    index.pop_back();
    ASSERT_EQ(server.runClient({"pactl", "unload-module", index}), 0);
  };
  ASSERT_EQ(call("startRecording", startArgs("it-unplug")).kind, MethodEnvelope::Kind::success);
  wait(1000ms);
  // The microphone goes; the server moves the stream to the other source and it goes on.
  unload("micfeed");
  wait(1500ms);
  EXPECT_TRUE(ofType("error").empty());
  EXPECT_EQ(plugin->runtimeState(), recorder::RuntimeState::recording);
  // The last source goes (PipeWire then offers its dummy "auto_null"): what was recorded is
  // sealed, then the error, then idle.
  unload("vsink");
  ASSERT_TRUE(spinUntil(
      ctx, [&] { return !ofType("error").empty(); }, 20s));
  EXPECT_EQ(*mapString(&ofType("error")[0], "message"),
            "Failed to rotate recording segment: The microphone capture ended: no capture "
            "source is left.");
  auto sealed = ofType("segment_sealed");
  ASSERT_EQ(sealed.size(), 1u);
  expectIntactSegment(sealed[0], 0);
  EXPECT_GT(intOf(sealed[0], "durationMs"), 2000);
  EXPECT_EQ(plugin->runtimeState(), recorder::RuntimeState::idle);
}

TEST_F(RecorderSession, ApplicationModeMixesTheChosenPlayerWithTheMicrophoneOnly) {
  using testing::Child;
  // The application's capture comes up 1.5 s after the microphone: its sound must still sit
  // where it was heard, next to the microphone's, up to the end of the segment.
  app_audio::PulseAppAudioOptions options;
  options.scheduler = scheduler.get();
  plugin.reset();
  usePlugin(std::make_shared<SlowToResolve>(
      std::make_shared<app_audio::PulseAppAudioServices>(options), 1500ms));
  std::string toneA = folder.path() + "/a.wav", toneB = folder.path() + "/b.wav";
  ASSERT_TRUE(PulseServer::makeToneWav(toneA, 60, -12, 660));
  ASSERT_TRUE(PulseServer::makeToneWav(toneB, 60, -12, 1500));
  Child a(testing::player("Player A", "vsink", toneA), server.address());
  Child b(testing::player("Player B", "vsink", toneB), server.address());
  std::string sourceId;
  ASSERT_TRUE(spinUntil(
      ctx,
      [&] {
        auto list = call("listAppAudioSources");
        for (const auto& item : *list.result.asList()) {
          if (*mapString(item.asMap(), "displayName") == "Player A") {
            sourceId = *mapString(item.asMap(), "id");
            return true;
          }
        }
        return false;
      },
      10s));
  EXPECT_EQ(sourceId, std::to_string(a.pid()));
  auto ready = call("runPreflight", Value(ValueMap{{"captureMode", Value("MIC_PLUS_APP_AUDIO")},
                                                   {"sourceId", Value(sourceId)}}));
  EXPECT_EQ(*mapBool(ready.result.asMap(), "ready"), true);

  ASSERT_EQ(call("startRecording", Value(ValueMap{{"recordingId", Value("it-app")},
                                                  {"captureMode", Value("MIC_PLUS_APP_AUDIO")},
                                                  {"sourceId", Value(sourceId)},
                                                  {"sourceDisplayName", Value("Player A")}}))
                .kind,
            MethodEnvelope::Kind::success);
  wait(5000ms);
  ASSERT_EQ(call("stopRecording").kind, MethodEnvelope::Kind::success);
  EXPECT_TRUE(ofType("source_lost").empty());
  auto sealed = ofType("segment_sealed");
  ASSERT_EQ(sealed.size(), 1u);
  std::string path = *mapString(&sealed[0], "path");
  EXPECT_EQ(intOf(sealed[0], "channelCount"), 2);
  EXPECT_EQ(modeOf(path), 0600);
  EXPECT_EQ(commandOutput("ffprobe -v error -select_streams a:0 -show_entries "
                          "stream=codec_name,sample_rate,channels -of csv=p=0 '" +
                          path + "'"),
            "aac,48000,2\n");
  auto dir = std::filesystem::path(path).parent_path();
  EXPECT_FALSE(std::filesystem::exists(dir / "000000-mic.m4a"));
  EXPECT_FALSE(std::filesystem::exists(dir / "000000-app.m4a"));
  // In every half second from the application's start (with room for a slow start) to the end: the
  // microphone's -6 dBFS 1 kHz and player A's -12 dBFS 660 Hz at their levels (a sine of amplitude
  // x reads x*x/4), and nothing of player B. Before its capture came up the application is silent.
  auto pcm = decodeMono(path);
  ASSERT_GT(pcm.size(), 48000u * 9 / 2);
  const size_t half = 24000;
  EXPECT_LT(testing::tonePower(pcm, 0, 48000, 660), 0.0003) << "placed before it was heard";
  for (size_t from = 48000 * 5 / 2; from + half <= pcm.size() - half / 2; from += half) {
    const double at = static_cast<double>(from) / 48000;
    EXPECT_NEAR(testing::meanTonePower(pcm, from, from + half, 1000), 0.0625, 0.02) << at << " s";
    EXPECT_NEAR(testing::meanTonePower(pcm, from, from + half, 660), 0.0156, 0.006) << at << " s";
    EXPECT_LT(testing::meanTonePower(pcm, from, from + half, 1500), 0.0003) << at << " s";
  }

  // A source whose process has gone: "source_lost", and the segment comes from the microphone.
  Child gone({"true"}, server.address());
  std::string goneId = std::to_string(gone.pid());
  gone.reap();
  ASSERT_EQ(call("startRecording", Value(ValueMap{{"recordingId", Value("it-app-gone")},
                                                  {"captureMode", Value("MIC_PLUS_APP_AUDIO")},
                                                  {"sourceId", Value(goneId)}}))
                .kind,
            MethodEnvelope::Kind::success);
  wait(1000ms);
  ASSERT_EQ(call("stopRecording").kind, MethodEnvelope::Kind::success);
  auto lost = ofType("source_lost");
  ASSERT_EQ(lost.size(), 1u);
  EXPECT_EQ(*mapString(&lost[0], "reason"),
            "The selected desktop app is no longer available to capture.");
  EXPECT_EQ(*mapString(&lost[0], "sourceDisplayName"), goneId);
  auto micOnly = ofType("segment_sealed").back();
  EXPECT_EQ(intOf(micOnly, "index"), 0);
  pcm = decodeMono(*mapString(&micOnly, "path"));
  EXPECT_NEAR(testing::tonePower(pcm, pcm.size() / 4, pcm.size() * 3 / 4, 1000), 0.0625, 0.02);
}

}  // namespace
}  // namespace lumewell
