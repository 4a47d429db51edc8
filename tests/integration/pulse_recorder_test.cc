#include <algorithm>
#include <atomic>
#include <cmath>
#include <fstream>
#include <future>
#include <thread>
#include <vector>

#include "media/media_probe.h"
#include "pulse/microphone_access.h"
#include "pulse/pulse_audio_services.h"
#include "pulse/pulse_capture_stream.h"
#include "pulse/pulse_connection.h"
#include "pulse/pulse_microphone_recorder.h"
#include "support/sound_server_fixture.h"

namespace lumewell::pulse {
namespace {

using lumewell::testing::commandOutput;
using lumewell::testing::PulseServer;

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Level the way the meter tick turns power into a value: 10^(dB/20).
float levelOf(float db) { return std::pow(10.0f, db / 20.0f); }

class PulseRecorderTest : public testing::SoundServerTest {
 protected:
  // Plays the tone into the virtual microphone and returns once the microphone carries it
  // (a player start can take a while on a busy machine).
  void playTone() {
    ASSERT_GT(server.play(tone("tone", 30, -6, 1000)), 0);
    struct Probe : PcmSink {
      std::atomic<bool> heard{false};
      void consume(const float* pcm, size_t frames) override {
        double sum = 0;
        for (size_t i = 0; i < frames; ++i) sum += double(pcm[i]) * pcm[i];
        if (frames > 0 && sum > 0.09 * double(frames)) heard = true;  // RMS above 0.3
      }
    };
    auto probe = std::make_shared<Probe>();
    auto capture = PulseCaptureStream::open(CaptureOptions{}, probe);
    ASSERT_TRUE(capture) << capture.error().localizedDescription;
    for (int i = 0; i < 200 && !probe->heard; ++i) sleepMs(50);
    (*capture)->stop();
    ASSERT_TRUE(probe->heard) << "the tone never reached the virtual microphone";
  }

  // A recorder of folder/name, recording (null, with the test failed, when it cannot start).
  std::unique_ptr<PulseMicrophoneRecorder> recording(const std::string& name,
                                                     recorder::RecorderSettings settings = {}) {
    auto recorder = PulseMicrophoneRecorder::create(folder.path() + "/" + name, settings);
    EXPECT_TRUE(recorder) << recorder.error().localizedDescription;
    if (!recorder) return nullptr;
    if (!(*recorder)->record()) {
      ADD_FAILURE() << (*recorder)->lastError()->localizedDescription;
      return nullptr;
    }
    return std::move(*recorder);
  }

  // A recorder whose start fails with code and, when given, message.
  void expectStartFails(int code, const std::string& message = "") {
    const std::string path = folder.path() + "/failed" + std::to_string(code) + ".m4a";
    auto recorder = PulseMicrophoneRecorder::create(path, {});
    ASSERT_TRUE(recorder);
    EXPECT_FALSE((*recorder)->record());
    ASSERT_TRUE((*recorder)->lastError());
    EXPECT_EQ((*recorder)->lastError()->domain, kPulseErrorDomain);
    EXPECT_EQ((*recorder)->lastError()->code, code);
    const std::string said = (*recorder)->lastError()->localizedDescription;
    EXPECT_TRUE(message.empty() || said == message) << said;
    (*recorder)->stop();
  }

  // Records for ms, reading the meters every 250 ms; returns the levels read.
  std::vector<float> recordFor(PulseMicrophoneRecorder& recorder, int ms) {
    std::vector<float> levels;
    for (int elapsed = 0; elapsed < ms; elapsed += 250) {
      sleepMs(250);
      recorder.updateMeters();
      levels.push_back(levelOf(recorder.averagePowerForChannel(0)));
    }
    return levels;
  }

  // A stopped file: AAC-LC at 48 kHz and exactly as long as the recorder says it recorded.
  void expectPlayable(const std::string& name, PulseMicrophoneRecorder& recorder,
                      int channels = 1) {
    const std::string path = folder.path() + "/" + name;
    EXPECT_EQ(audioFormat(path), "aac,LC,48000," + std::to_string(channels) + "\n");
    const std::string seconds =
        commandOutput("ffprobe -v error -show_entries format=duration -of csv=p=0 '" + path + "'");
    EXPECT_NEAR(std::stod("0" + seconds), recorder.currentTime(), 0.005);
    const auto ms = media::mediaDurationMs(path);
    ASSERT_TRUE(ms.has_value());
    EXPECT_NEAR(double(*ms), recorder.currentTime() * 1000, 1.0);
  }
};

// The meters read the tone's level in every channel (a -6 dBFS sine: -9 dBFS average, 0.35), and
// silence as silence. (Mono files and levels: the recorder plug-in's tests.)
TEST_F(PulseRecorderTest, StereoToneRecordsWithItsDurationAndLevelAndSilenceReadsSilent) {
  playTone();
  auto recorder = recording("tone.m4a", {.channels = 2, .bitRate = 192000});
  ASSERT_TRUE(recorder);
  std::vector<float> left = recordFor(*recorder, 1500);
  // The last reading's other channel (the mono microphone fills both).
  const float right = levelOf(recorder->averagePowerForChannel(1));
  recorder->stop();
  EXPECT_FALSE(recorder->lastError());
  std::sort(left.begin(), left.end());
  EXPECT_NEAR(left[left.size() / 2], 0.354f, 0.03f);
  EXPECT_NEAR(right, 0.354f, 0.05f);
  expectPlayable("tone.m4a", *recorder, 2);

  server.stopPlaying();
  auto quiet = recording("quiet.m4a");
  ASSERT_TRUE(quiet);
  std::vector<float> silent = recordFor(*quiet, 1000);
  quiet->stop();
  for (float level : silent) EXPECT_LT(level, 0.001f);
}

// The host starts connecting at launch; a start arriving meanwhile may give up first. It
// must leave the connect in progress to its owner, which then completes. A server that freezes
// later costs bounded waits, not a hang.
TEST_F(PulseRecorderTest, AFrozenServerCostsBoundedWaitsAndAnImpatientCallerLosesNoConnect) {
  server.freeze();  // the hand-shake waits
  PulseConnection& connection = PulseConnection::shared();
  std::promise<OptionalError> owner;
  std::thread launch([&] { owner.set_value(connection.connect(std::chrono::milliseconds(8000))); });
  sleepMs(300);
  OptionalError impatient = connection.connect(std::chrono::milliseconds(200));
  ASSERT_TRUE(impatient);
  EXPECT_EQ(impatient->code, PA_ERR_TIMEOUT);
  server.thaw();
  launch.join();
  EXPECT_EQ(owner.get_future().get(), std::nullopt);
  {
    PulseConnection::Lock lock(connection);
    EXPECT_NE(connection.readyContextLocked(), nullptr);
  }

  playTone();
  auto recorder = recording("000000.m4a");
  ASSERT_TRUE(recorder);
  sleepMs(500);
  server.freeze();  // connected socket, no answers
  expectStartFails(PA_ERR_TIMEOUT);
  EXPECT_EQ(microphoneAuthorizationStatus(), -1);
  recorder->stop();
  expectPlayable("000000.m4a", *recorder);
  server.thaw();
  EXPECT_EQ(microphoneAuthorizationStatus(), 3);
}

// A live server grants access; a dead one leaves the status unknown and refuses a start in its
// own words; one that wants its cookie denies a client holding another one; a restarted one is
// reconnected to. (A recording the server's death cuts short: the recorder plug-in's tests.)
TEST_F(PulseRecorderTest, AuthorizationAndStartsFollowWhatTheServerAllows) {
  PulseAudioServices services;
  auto access = [&] {
    std::promise<bool> granted;
    services.requestMicrophoneAccess([&](bool ok) { granted.set_value(ok); });
    return granted.get_future().get();
  };
  EXPECT_EQ(services.microphoneAuthorizationStatus(), 3);
  EXPECT_TRUE(access());
  EXPECT_EQ(services.dataDirectory(),
            std::string(g_get_user_data_dir()) + "/app.lumewell.Recorder");

  server.kill9();
  expectStartFails(PA_ERR_CONNECTIONREFUSED, "Connection refused");
  EXPECT_EQ(services.microphoneAuthorizationStatus(), -1);

  std::string error;
  PulseServer strict(PulseServer::Options{.anonymous = false});
  if (strict.refusesStrangers()) {  // PulseAudio run as another uid (root)
    ASSERT_TRUE(strict.start(&error)) << error;
    strict.exportEnvironment();
    const std::string cookie = folder.path() + "/wrong-cookie";
    std::ofstream(cookie, std::ios::binary) << std::string(256, 'x');
    ::setenv("PULSE_COOKIE", cookie.c_str(), 1);
    EXPECT_EQ(services.microphoneAuthorizationStatus(), 2);
    expectStartFails(PA_ERR_ACCESS, "Access denied");
    EXPECT_FALSE(access());
    server.exportEnvironment();
  }

  ASSERT_TRUE(server.start(&error)) << error;
  EXPECT_EQ(services.microphoneAuthorizationStatus(), 3);
  EXPECT_TRUE(access());
}

}  // namespace
}  // namespace lumewell::pulse
