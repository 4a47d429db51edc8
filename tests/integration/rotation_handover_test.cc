// Rotations through the plug-in on the real services lose no sample of the microphone, in
// both modes: the sealed files, found again in the played noise by cross-correlation, meet
// end to start, each rotated one holds exactly the segment's length, and they assemble back
// by their packets. In the application mode each segment also holds the application's tone,
// mixed in as it arrived.
#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <future>
#include <map>

#include "app_audio/pulse_app_audio_services.h"
#include "channels/method_channel.h"
#include "media/audio_decoder.h"
#include "media/compose_audio.h"
#include "pulse/pulse_audio_services.h"
#include "recorder/recorder_plugin.h"
#include "runtime/glib_scheduler.h"
#include "support/audio_test_helpers.h"
#include "support/main_loop_helpers.h"
#include "support/pulse_server.h"

extern char** environ;

namespace lumewell {
namespace {

using namespace std::chrono_literals;
using recorder::LumewellNativeRecorderPlugin;

// The real services with the recordings below a folder of the test's own (the data home is
// read once per process, and other tests of this program own it).
class FolderAudioServices final : public recorder::AudioServices {
 public:
  explicit FolderAudioServices(std::string folder) : folder_(std::move(folder)) {}
  Result<std::unique_ptr<recorder::MicrophoneRecorder>> makeRecorder(
      const std::string& path, const recorder::RecorderSettings& settings) override {
    return real_.makeRecorder(path, settings);
  }
  int microphoneAuthorizationStatus() override { return real_.microphoneAuthorizationStatus(); }
  void requestMicrophoneAccess(std::function<void(bool)> completion) override {
    real_.requestMicrophoneAccess(std::move(completion));
  }
  std::optional<int64_t> mediaDurationMs(const std::string& path) override {
    return real_.mediaDurationMs(path);
  }
  Result<std::string> sha256Hex(const std::string& path) override { return real_.sha256Hex(path); }
  void composeAudio(std::vector<std::string> paths, std::string output,
                    std::function<void(OptionalError)> completion) override {
    real_.composeAudio(std::move(paths), std::move(output), std::move(completion));
  }
  std::optional<int64_t> freeDiskBytes() override { return real_.freeDiskBytes(); }
  std::string dataDirectory() override { return folder_; }

 private:
  pulse::PulseAudioServices real_;
  std::string folder_;
};

class EventMessenger final : public BinaryMessenger {
 public:
  void send(const std::string&, Bytes message, BinaryReply) override {
    auto envelope = StandardMethodCodec::decodeEnvelope(message);
    if (!envelope.ok() || envelope->result.asMap() == nullptr) return;
    const std::string* type = mapString(envelope->result.asMap(), "type");
    if (type != nullptr && *type != "level_changed") events.push_back(*envelope->result.asMap());
  }
  void setMessageHandler(const std::string& channel, BinaryMessageHandler handler) override {
    handlers[channel] = std::move(handler);
  }
  void call(const std::string& channel, const std::string& method, const Value& args,
            std::optional<MethodEnvelope>* out) {
    handlers[channel](StandardMethodCodec::encodeMethodCall({method, args}),
                      [out](const Bytes* reply) {
                        if (reply == nullptr) return;
                        auto envelope = StandardMethodCodec::decodeEnvelope(*reply);
                        if (envelope.ok()) *out = *envelope;
                      });
  }
  std::vector<std::string> sealedPaths() const {
    std::vector<std::string> out;
    for (const auto& e : events) {
      if (*mapString(&e, "type") == "segment_sealed") out.push_back(*mapString(&e, "path"));
    }
    return out;
  }
  std::map<std::string, BinaryMessageHandler> handlers;
  std::vector<ValueMap> events;
};

std::vector<float> decodeMono(const std::string& path) {
  std::vector<float> out;
  auto decoder = media::AudioDecoder::open(path);
  if (!decoder || !*decoder) return out;
  const size_t channels = static_cast<size_t>((*decoder)->info().channels);
  std::vector<float> block(4096 * channels);
  for (;;) {
    auto got = (*decoder)->read(block.data(), 4096);
    if (!got || *got == 0) break;
    for (size_t i = 0; i < *got; ++i) out.push_back(block[i * channels]);
  }
  return out;
}

struct Match {
  int64_t position = -1;
  double score = -1;
};

// Where pcm[at, at + kWindow) sits in source, searched over [from, to).
constexpr size_t kWindow = 2048;
Match locate(const std::vector<float>& source, const std::vector<float>& pcm, size_t at,
             int64_t from, int64_t to) {
  Match best;
  from = std::max<int64_t>(from, 0);
  to = std::min<int64_t>(to, static_cast<int64_t>(source.size()) - static_cast<int64_t>(kWindow));
  const float* x = pcm.data() + at;
  double xx = 0;
  for (size_t i = 0; i < kWindow; ++i) xx += double(x[i]) * x[i];
  for (int64_t p = from; p < to; ++p) {
    const float* y = source.data() + p;
    float xy = 0, yy = 0;
    for (size_t i = 0; i < kWindow; ++i) {
      xy += x[i] * y[i];
      yy += y[i] * y[i];
    }
    const double score = xy / std::sqrt(xx * yy + 1e-20);
    if (score > best.score) best = {p, score};
  }
  return best;
}

constexpr double kAppTone = 660.0;

void rotateAndCheckJoins(bool appMode) {
  testing::PulseServer server;
  std::string error;
  ASSERT_TRUE(server.start(&error)) << error;
  server.exportEnvironment();
  testing::TempDir folder;
  // The application: a quiet tone on the other sink, so the noise is still found in the mix.
  std::optional<testing::Child> app;
  if (appMode) {
    const std::string tone = folder.path() + "/tone.wav";
    ASSERT_TRUE(testing::PulseServer::makeToneWav(tone, 30, -26, kAppTone));
    app.emplace(testing::player("Meeting", "vsink", tone), server.address());
    const std::string pid = "application.process.id = \"" + std::to_string(app->pid()) + "\"";
    ASSERT_TRUE(testing::spinUntil(g_main_context_default(), [&] {
      return testing::commandOutput("pactl list sink-inputs").find(pid) != std::string::npos;
    }));
  }
  const std::string noise = folder.path() + "/noise.wav";
  ASSERT_EQ(std::system(("sox -n -r 48000 -c 1 -b 16 '" + noise +
                         "' synth 30 whitenoise vol 0.5 lowpass 8000 norm -6")
                            .c_str()),
            0);
  // A deep playback buffer: a stalled player must not hold the signal back, which would look
  // like audio lost or repeated.
  std::vector<std::string> argv{"paplay", "--latency-msec=2000", "-d", "micfeed", noise};
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  pid_t player = -1;
  ASSERT_EQ(posix_spawnp(&player, "paplay", nullptr, nullptr, args.data(), environ), 0);
  const auto playStarted = std::chrono::steady_clock::now();

  GMainContext* context = g_main_context_new();
  std::vector<std::string> sealed;
  std::vector<int64_t> durationsMs;
  double startOffsetSeconds = 0;
  {
    GLibScheduler scheduler(context);
    std::shared_ptr<recorder::AppAudioServices> appAudio;
    if (appMode) {
      app_audio::PulseAppAudioOptions options;
      options.scheduler = &scheduler;
      options.desktopEntryId = [](const std::string&) { return std::string(); };
      appAudio = std::make_shared<app_audio::PulseAppAudioServices>(options);
    }
    auto plugin = std::make_shared<LumewellNativeRecorderPlugin>(
        scheduler, std::make_shared<FolderAudioServices>(folder.path() + "/data"), appAudio);
    plugin->setSegmentDuration(1.0);
    EventMessenger messenger;
    plugin->registerChannels(messenger);
    std::optional<MethodEnvelope> answer;
    messenger.call(LumewellNativeRecorderPlugin::kEventChannel, "listen", Value(), &answer);
    testing::spinUntil(
        context, [] { return false; }, 1000ms);

    answer.reset();
    startOffsetSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - playStarted).count();
    ValueMap start{{"recordingId", "gapless"}};
    if (appMode) {
      start.set("captureMode", "MIC_PLUS_APP_AUDIO");
      start.set("sourceId", std::to_string(app->pid()));
    }
    messenger.call(LumewellNativeRecorderPlugin::kMethodChannel, "startRecording", Value(start),
                   &answer);
    ASSERT_TRUE(testing::spinUntil(
        context, [&] { return answer.has_value(); }, 20s));
    ASSERT_EQ(answer->kind, MethodEnvelope::Kind::success);
    testing::spinUntil(
        context, [&] { return messenger.sealedPaths().size() >= 3; }, 30s);
    testing::spinUntil(
        context, [] { return false; }, 500ms);
    answer.reset();
    messenger.call(LumewellNativeRecorderPlugin::kMethodChannel, "stopRecording", Value(), &answer);
    ASSERT_TRUE(testing::spinUntil(
        context, [&] { return answer.has_value(); }, 20s));
    sealed = messenger.sealedPaths();
    for (const auto& event : messenger.events) {
      EXPECT_NE(*mapString(&event, "type"), "error");
      EXPECT_NE(*mapString(&event, "type"), "source_lost");
      if (*mapString(&event, "type") == "segment_sealed") {
        int64_t channels = -1;
        event.find("channelCount")->asInt64(&channels);
        EXPECT_EQ(channels, appMode ? 2 : 1);
        int64_t ms = -1;
        event.find("durationMs")->asInt64(&ms);
        durationsMs.push_back(ms);
      }
    }
  }
  g_main_context_unref(context);
  ::kill(player, SIGKILL);
  ::waitpid(player, nullptr, 0);

  ASSERT_EQ(sealed.size(), 4u);
  // The WAV source through the ffmpeg tool: the media layer reads MP4 files only.
  const std::vector<float> source = testing::decodeMono(noise);
  int64_t previousEnd = -1;
  std::vector<float> segments;
  for (size_t n = 0; n < sealed.size(); ++n) {
    SCOPED_TRACE(sealed[n]);
    const std::vector<float> pcm = decodeMono(sealed[n]);
    ASSERT_GT(pcm.size(), 4 * kWindow);
    const int64_t guess =
        previousEnd >= 0 ? previousEnd : static_cast<int64_t>(startOffsetSeconds * 48000);
    const int64_t span = previousEnd >= 0 ? 12000 : 48000;
    const Match head = locate(source, pcm, 0, guess - span, guess + span);
    ASSERT_GT(head.score, 0.9) << "the file's start is not in the played signal";
    const size_t tailAt = pcm.size() - kWindow;
    const int64_t expectedTail = head.position + static_cast<int64_t>(tailAt);
    const Match tail = locate(source, pcm, tailAt, expectedTail - 2400, expectedTail + 2400);
    ASSERT_GT(tail.score, 0.9);
    EXPECT_EQ(tail.position, expectedTail) << "samples lost or repeated inside the file";
    if (previousEnd >= 0) {
      EXPECT_EQ(head.position, previousEnd)
          << "samples lost (+) or repeated (-) at the join: " << head.position - previousEnd;
    }
    previousEnd = tail.position + static_cast<int64_t>(kWindow);
    if (n + 1 < sealed.size()) {
      // A rotated segment is cut from the run's one encode at exactly its length.
      EXPECT_EQ(pcm.size(), 48000u);
      EXPECT_EQ(durationsMs[n], 1000);
    }
    if (appMode) {
      // From the first segment's middle on (its capture came up after the microphone's), the
      // tone is there at its level: amplitude 0.05 reads 0.05 * 0.05 / 4.
      const size_t from = n == 0 ? pcm.size() / 2 : 0;
      EXPECT_NEAR(testing::meanTonePower(pcm, from, pcm.size(), kAppTone), 0.000625, 0.0002);
    }
    segments.insert(segments.end(), pcm.begin(), pcm.end());
  }

  // Assembled by their packets: the output decodes to the segments' very samples (a
  // re-encode could not).
  const std::string assembled = folder.path() + "/assembled.m4a";
  std::promise<OptionalError> done;
  media::composeAudio(sealed, assembled, [&done](OptionalError error) { done.set_value(error); });
  ASSERT_FALSE(done.get_future().get());
  media::cancelAllCompositions();
  EXPECT_TRUE(decodeMono(assembled) == segments);
}

TEST(RotationHandover, MicrophoneOnlyRotationsLoseNoSampleBetweenSealedFiles) {
  rotateAndCheckJoins(false);
}

TEST(RotationHandover, ApplicationModeRotationsLoseNoSampleAndKeepTheApplicationInEachSegment) {
  rotateAndCheckJoins(true);
}

}  // namespace
}  // namespace lumewell
