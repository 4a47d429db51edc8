// The recorder plug-in on the real services against a private sound server: what a Dart side
// sees of a recording, down to the bytes and samples of the sealed files.
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "app_audio/pulse_app_audio_services.h"
#include "channels/method_channel.h"
#include "media/media_probe.h"
#include "pulse/pulse_audio_services.h"
#include "recorder/recorder_plugin.h"
#include "support/audio_test_helpers.h"
#include "support/fake_messenger.h"
#include "support/forwarding_services.h"
#include "support/sound_server_fixture.h"
#include "support/test_files.h"

namespace lumewell {
namespace {

using namespace std::chrono_literals;
using recorder::LumewellNativeRecorderPlugin;
using testing::commandOutput;
using testing::decodeMono;
using testing::fileMode;
using testing::meanTonePower;
using testing::privateDataHome;

// Recordings of this test program go below a private data home, set before anything asks.
const bool kDataHomeSet = !privateDataHome().empty();
constexpr auto kSuccess = MethodEnvelope::Kind::success;

int64_t intOf(const ValueMap& m, const char* key) {
  int64_t v = -1;
  if (const Value* x = m.find(key)) x->asInt64(&v);
  return v;
}

Value startArgs(const std::string& id, const std::string& sourceId = "") {
  ValueMap args{{"recordingId", Value(id)}, {"captureMode", Value("MIC_ONLY")}};
  if (!sourceId.empty()) {
    args.set("captureMode", "MIC_PLUS_APP_AUDIO");
    args.set("sourceId", sourceId);
  }
  return Value(args);
}

class RecorderSession : public testing::SoundServerTest {
 protected:
  void SetUp() override {
    savedUmask = ::umask(022);  // the recordings are private whatever the umask
    SoundServerTest::SetUp();
    usePlugin(appAudioServices());
  }
  ~RecorderSession() override { ::umask(savedUmask); }
  std::shared_ptr<recorder::AppAudioServices> appAudioServices() {
    return std::make_shared<app_audio::PulseAppAudioServices>(app_audio::PulseAppAudioOptions{
        .scheduler = scheduler.get(),
        .desktopEntryId = [](const std::string&) { return std::string(); }});
  }
  void usePlugin(std::shared_ptr<recorder::AppAudioServices> appAudio) {
    plugin = std::make_shared<LumewellNativeRecorderPlugin>(
        *scheduler, std::make_shared<pulse::PulseAudioServices>(), std::move(appAudio));
    plugin->registerChannels(messenger);
    ASSERT_TRUE(messenger.call(LumewellNativeRecorderPlugin::kEventChannel, "listen")->isSuccess());
  }
  void playTone() { ASSERT_GT(server.play(tone("tone", 120, -6, 1000)), 0); }
  // Calls a method and waits (bounded) for its answer.
  MethodEnvelope call(const std::string& method, const Value& args = Value()) {
    auto answer = messenger.call(LumewellNativeRecorderPlugin::kMethodChannel, method, args);
    EXPECT_TRUE(spin([&] { return answer->answered(); })) << method;
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
  void expectIntactSegment(const ValueMap& sealed, int64_t index, int channels = 1) {
    std::string path = *mapString(&sealed, "path");
    EXPECT_EQ(intOf(sealed, "index"), index);
    EXPECT_EQ(intOf(sealed, "channelCount"), channels);
    EXPECT_EQ(intOf(sealed, "byteLength"), static_cast<int64_t>(std::filesystem::file_size(path)));
    EXPECT_EQ(fileMode(path), 0600);
    EXPECT_EQ(fileMode(std::filesystem::path(path).parent_path()), 0700);
    EXPECT_EQ(commandOutput("sha256sum '" + path + "' | cut -c1-64"),
              *mapString(&sealed, "sha256") + "\n");
    EXPECT_EQ(audioFormat(path), "aac,LC,48000," + std::to_string(channels) + "\n") << path;
    auto ms = media::mediaDurationMs(path);
    ASSERT_TRUE(ms.has_value());
    EXPECT_EQ(intOf(sealed, "durationMs"), *ms);
  }

  mode_t savedUmask = 0;
  testing::FakeMessenger messenger;
  std::shared_ptr<LumewellNativeRecorderPlugin> plugin;
};

// Pause and resume seal a segment each; a server that dies, or the last source that goes, ends
// the recording by itself with what it heard sealed, and every call still answers.
TEST_F(RecorderSession, PauseResumeAServerThatDiesAndAnUnpluggedMicrophone) {
  playTone();
  const std::string recordings = privateDataHome() + "/app.lumewell.Recorder/recordings";
  std::filesystem::create_directories(recordings);
  ::chmod(recordings.c_str(), 0755);
  ASSERT_EQ(call("startRecording", startArgs("it-pause")).kind, kSuccess);
  wait(1500ms);
  ASSERT_EQ(call("pauseRecording").kind, kSuccess);
  wait(300ms);
  ASSERT_EQ(call("resumeRecording").kind, kSuccess);
  wait(1500ms);
  // The levels read the tone's average power (-9 dBFS: 0.35), the first may hold the start-up.
  auto levels = ofType("level_changed");
  ASSERT_GE(levels.size(), 3u);
  EXPECT_NEAR(levels.back().find("level")->get<double>(), 0.354, 0.06);
  server.kill9();
  EXPECT_TRUE(spin([&] { return !ofType("error").empty(); }));
  EXPECT_EQ(testing::eventTypes(events()),
            (std::vector<std::string>{"segment_sealed", "segment_sealed", "error"}));
  EXPECT_EQ(*mapString(&ofType("error")[0], "message"),
            "Failed to rotate recording segment: The connection to the sound server was lost.");
  EXPECT_EQ(plugin->runtimeState(), recorder::RuntimeState::idle);
  auto sealed = ofType("segment_sealed");
  ASSERT_EQ(sealed.size(), 2u);
  expectIntactSegment(sealed[0], 0);
  expectIntactSegment(sealed[1], 1);
  EXPECT_GT(intOf(sealed[1], "durationMs"), 1000);
  EXPECT_EQ(fileMode(recordings), 0700);  // there before with a wider mode: narrowed
  // The two runs joined by a re-encode (an empty path skipped) into a private file in folders
  // made private.
  const std::string output = folder.path() + "/upload/deep/recording.m4a";
  const ValueList paths{*sealed[0].find("path"), Value(""), *sealed[1].find("path")};
  ASSERT_EQ(call("assembleRecording",
                 Value(ValueMap{{"segmentPaths", Value(paths)}, {"outputPath", Value(output)}}))
                .kind,
            kSuccess);
  EXPECT_EQ(fileMode(output), 0600);
  EXPECT_EQ(fileMode(folder.path() + "/upload/deep"), 0700);
  EXPECT_EQ(call("stopRecording").kind, kSuccess);
  EXPECT_EQ(call("startRecording", startArgs("it-kill-2")).kind, MethodEnvelope::Kind::error);

  // A server back makes recording possible again. Its microphone goes: the server moves the
  // stream to the other source and it goes on. The last source goes (PipeWire then offers its
  // dummy "auto_null"): what was recorded is sealed, then the error, then idle.
  std::string error;
  ASSERT_TRUE(server.start(&error)) << error;
  playTone();
  auto unload = [&](const std::string& sink) {
    std::string index =
        commandOutput("pactl list short modules | awk '/sink_name=" + sink + "( |$)/{print $1}'");
    ASSERT_FALSE(index.empty()) << sink;
    index.pop_back();
    ASSERT_EQ(server.runClient({"pactl", "unload-module", index}), 0);
  };
  ASSERT_EQ(call("startRecording", startArgs("it-unplug")).kind, kSuccess);
  wait(1000ms);
  unload("micfeed");
  wait(1500ms);
  EXPECT_EQ(ofType("error").size(), 1u);
  EXPECT_EQ(plugin->runtimeState(), recorder::RuntimeState::recording);
  unload("vsink");
  ASSERT_TRUE(spin([&] { return ofType("error").size() == 2; }));
  EXPECT_EQ(*mapString(&ofType("error")[1], "message"),
            "Failed to rotate recording segment: The microphone capture ended: no capture "
            "source is left.");
  sealed = ofType("segment_sealed");
  ASSERT_EQ(sealed.size(), 3u);
  expectIntactSegment(sealed[2], 0);
  EXPECT_GT(intOf(sealed[2], "durationMs"), 2000);
  EXPECT_EQ(plugin->runtimeState(), recorder::RuntimeState::idle);
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

// Rotations lose no sample of the microphone, in both modes: the sealed files, found again in
// the played noise by cross-correlation, meet end to start, each rotated one holds exactly the
// segment's length, and they assemble back by their packets. In the application mode the
// chosen player, whose capture comes up a second late, is mixed in where it was heard and in
// every half second after, and the other player is not.
class RotationHandover : public RecorderSession, public ::testing::WithParamInterface<bool> {};

TEST_P(RotationHandover, RotationsLoseNoSampleBetweenSealedFiles) {
  constexpr size_t kWindow = 2048, kHalf = 24000;
  const bool appMode = GetParam();
  // The application: a quiet tone on the other sink, so the noise is still found in the mix.
  std::string sourceId;
  if (appMode) {
    plugin.reset();
    usePlugin(std::make_shared<SlowToResolve>(appAudioServices(), 1000ms));
    const pid_t app = server.launch(testing::player("Meeting", "vsink", tone("app", 30, -26, 660)));
    server.launch(testing::player("Other", "vsink", tone("other", 30, -12, 1500)));
    ASSERT_TRUE(playing(app));
    // Chosen as the Dart side does: by its name in the catalogue, exactly "id", "displayName".
    ASSERT_TRUE(spin([&] {
      const auto list = call("listAppAudioSources");
      for (const auto& item : *list.result.asList())
        if (*item.asMap() == ValueMap{{"id", std::to_string(app)}, {"displayName", "Meeting"}})
          sourceId = std::to_string(app);
      return !sourceId.empty();
    }));
  }
  // Two seconds: the capture switches between long and short blocks inside every segment.
  plugin->setSegmentDuration(2.0);
  const std::string noise = folder.path() + "/noise.wav";
  ASSERT_EQ(std::system(("sox -n -r 48000 -c 1 -b 16 '" + noise +
                         "' synth 30 whitenoise vol 0.5 lowpass 8000 norm -6")
                            .c_str()),
            0);
  // A deep playback buffer: a stalled player must not hold the signal back, which would look
  // like audio lost or repeated.
  const pid_t player = server.launch({"paplay", "--latency-msec=2000", "-d", "micfeed", noise});
  const auto playStarted = std::chrono::steady_clock::now();
  wait(1000ms);

  const double startOffsetSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - playStarted).count();
  ASSERT_EQ(call("startRecording", startArgs("gapless", sourceId)).kind, kSuccess);
  spin([&] { return ofType("segment_sealed").size() >= 3; }, 30s);
  wait(500ms);
  ASSERT_EQ(call("stopRecording").kind, kSuccess);
  server.end(player);
  EXPECT_TRUE(ofType("error").empty());
  EXPECT_TRUE(ofType("source_lost").empty());
  const auto sealedEvents = ofType("segment_sealed");
  ASSERT_EQ(sealedEvents.size(), 4u);

  // The WAV source through the ffmpeg tool: the media layer reads MP4 files only.
  const std::vector<float> source = decodeMono(noise);
  int64_t previousEnd = -1;
  std::vector<std::string> sealed;
  std::vector<float> segments;
  for (size_t n = 0; n < sealedEvents.size(); ++n) {
    sealed.push_back(*mapString(&sealedEvents[n], "path"));
    SCOPED_TRACE(sealed[n]);
    expectIntactSegment(sealedEvents[n], static_cast<int64_t>(n), appMode ? 2 : 1);
    const std::vector<float> pcm = decodeMono(sealed[n]);
    ASSERT_GT(pcm.size(), 4 * kWindow);
    const int64_t guess =
        previousEnd >= 0 ? previousEnd : static_cast<int64_t>(startOffsetSeconds * 48000);
    const int64_t span = previousEnd >= 0 ? 12000 : 48000;
    const auto head = testing::locate(source, pcm, 0, kWindow, guess - span, guess + span);
    ASSERT_GT(head.score, 0.9) << "the file's start is not in the played signal";
    const size_t tailAt = pcm.size() - kWindow;
    const int64_t expectedTail = head.position + static_cast<int64_t>(tailAt);
    const auto tail =
        testing::locate(source, pcm, tailAt, kWindow, expectedTail - 2400, expectedTail + 2400);
    ASSERT_GT(tail.score, 0.9);
    EXPECT_EQ(tail.position, expectedTail) << "samples lost or repeated inside the file";
    if (previousEnd >= 0) {
      EXPECT_EQ(head.position, previousEnd)
          << "samples lost (+) or repeated (-) at the join: " << head.position - previousEnd;
    }
    previousEnd = tail.position + static_cast<int64_t>(kWindow);
    if (n + 1 < sealedEvents.size()) {
      // A rotated segment is cut from the run's one encode at exactly its length.
      EXPECT_EQ(pcm.size(), 96000u);
      EXPECT_EQ(intOf(sealedEvents[n], "durationMs"), 2000);
    }
    // The application, measured in what is left of the mix once the microphone's noise (found
    // above, at unchanged level) is taken out: left in, it moves a half second's tone power by
    // up to a third, as much as the faults this looks for. Before its capture came up: silent.
    // From the second segment on (room for a slow start), its tone at its level in every half
    // second (amplitude 0.05 reads 0.05 * 0.05 / 4); the other player nowhere.
    std::vector<float> app(appMode ? pcm.size() : 0);
    for (size_t i = 0; i < app.size(); ++i) {
      const int64_t at = head.position + static_cast<int64_t>(i);
      app[i] = pcm[i] - (at >= 0 && at < static_cast<int64_t>(source.size()) ? source[at] : 0.0f);
    }
    if (appMode && n == 0) {
      EXPECT_LT(testing::tonePower(app, 0, 48000, 660), 0.0003) << "placed before it was heard";
    }
    for (size_t from = 0; from + kHalf <= app.size(); from += kHalf) {
      if (n > 0) {
        EXPECT_NEAR(meanTonePower(app, from, from + kHalf, 660), 0.000625, 0.0002) << from;
      }
      EXPECT_LT(meanTonePower(app, from, from + kHalf, 1500), 0.0003) << from;
    }
    segments.insert(segments.end(), pcm.begin(), pcm.end());
  }

  // Assembled by their packets: the output decodes to the segments' very samples (a
  // re-encode could not).
  const std::string assembled = folder.path() + "/assembled.m4a";
  ValueList paths(sealed.begin(), sealed.end());
  ASSERT_EQ(call("assembleRecording",
                 Value(ValueMap{{"segmentPaths", Value(paths)}, {"outputPath", Value(assembled)}}))
                .kind,
            kSuccess);
  EXPECT_TRUE(decodeMono(assembled) == segments);
}

INSTANTIATE_TEST_SUITE_P(MicrophoneAndApplicationModes, RotationHandover, ::testing::Bool());

}  // namespace
}  // namespace lumewell
