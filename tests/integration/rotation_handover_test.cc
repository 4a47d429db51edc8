// Rotations through the plug-in on the real services lose no sample of the microphone, in
// both modes: the sealed files, found again in the played noise by cross-correlation, meet
// end to start, each rotated one holds exactly the segment's length, and they assemble back
// by their packets. In the application mode each segment also holds the application's tone,
// mixed in as it arrived.
#include <glib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <future>

#include "app_audio/pulse_app_audio_services.h"
#include "channels/method_channel.h"
#include "media/compose_audio.h"
#include "pulse/pulse_audio_services.h"
#include "recorder/recorder_plugin.h"
#include "runtime/glib_scheduler.h"
#include "support/audio_test_helpers.h"
#include "support/fake_messenger.h"
#include "support/main_loop_helpers.h"
#include "support/pulse_server.h"
#include "support/test_files.h"

namespace lumewell {
namespace {

using namespace std::chrono_literals;
using recorder::LumewellNativeRecorderPlugin;

// Calls a method on the plug-in and waits (bounded) for its answer.
bool answered(GMainContext* context, testing::FakeMessenger& messenger, const char* method,
              const Value& args = Value()) {
  auto call = messenger.call(LumewellNativeRecorderPlugin::kMethodChannel, method, args);
  return testing::spinUntil(
             context, [&] { return call->answered(); }, 20s) &&
         call->isSuccess();
}

constexpr size_t kWindow = 2048;
constexpr double kAppTone = 660.0;

void rotateAndCheckJoins(bool appMode) {
  testing::privateDataHome();
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
  testing::Child player({"paplay", "--latency-msec=2000", "-d", "micfeed", noise},
                        server.address());
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
        scheduler, std::make_shared<pulse::PulseAudioServices>(), appAudio);
    plugin->setSegmentDuration(1.0);
    testing::FakeMessenger messenger;
    plugin->registerChannels(messenger);
    messenger.call(LumewellNativeRecorderPlugin::kEventChannel, "listen");
    const auto& events = messenger.events[LumewellNativeRecorderPlugin::kEventChannel];
    auto sealedPaths = [&] {
      std::vector<std::string> paths;
      for (const auto& e : testing::eventsOfType(events, "segment_sealed")) {
        paths.push_back(*mapString(e.asMap(), "path"));
      }
      return paths;
    };
    testing::spinUntil(
        context, [] { return false; }, 1000ms);

    startOffsetSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - playStarted).count();
    ValueMap start{{"recordingId", "gapless"}};
    if (appMode) {
      start.set("captureMode", "MIC_PLUS_APP_AUDIO");
      start.set("sourceId", std::to_string(app->pid()));
    }
    ASSERT_TRUE(answered(context, messenger, "startRecording", Value(start)));
    testing::spinUntil(
        context, [&] { return sealedPaths().size() >= 3; }, 30s);
    testing::spinUntil(
        context, [] { return false; }, 500ms);
    ASSERT_TRUE(answered(context, messenger, "stopRecording"));
    sealed = sealedPaths();
    EXPECT_EQ(testing::eventsOfType(events, "error").size(), 0u);
    EXPECT_EQ(testing::eventsOfType(events, "source_lost").size(), 0u);
    for (const auto& event : testing::eventsOfType(events, "segment_sealed")) {
      int64_t channels = -1, ms = -1;
      event.asMap()->find("channelCount")->asInt64(&channels);
      EXPECT_EQ(channels, appMode ? 2 : 1);
      event.asMap()->find("durationMs")->asInt64(&ms);
      durationsMs.push_back(ms);
    }
  }
  g_main_context_unref(context);
  player.stop();

  ASSERT_EQ(sealed.size(), 4u);
  // The WAV source through the ffmpeg tool: the media layer reads MP4 files only.
  const std::vector<float> source = testing::decodeMono(noise);
  int64_t previousEnd = -1;
  std::vector<float> segments;
  for (size_t n = 0; n < sealed.size(); ++n) {
    SCOPED_TRACE(sealed[n]);
    const std::vector<float> pcm = testing::decodeMono(sealed[n]);
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
  EXPECT_TRUE(testing::decodeMono(assembled) == segments);
}

TEST(RotationHandover, MicrophoneOnlyRotationsLoseNoSampleBetweenSealedFiles) {
  rotateAndCheckJoins(false);
}

TEST(RotationHandover, ApplicationModeRotationsLoseNoSampleAndKeepTheApplicationInEachSegment) {
  rotateAndCheckJoins(true);
}

}  // namespace
}  // namespace lumewell
