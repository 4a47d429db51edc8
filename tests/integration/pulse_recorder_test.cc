#include <glib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

#include "media/media_probe.h"
#include "pulse/microphone_access.h"
#include "pulse/pulse_audio_services.h"
#include "pulse/pulse_capture_stream.h"
#include "pulse/pulse_connection.h"
#include "pulse/pulse_microphone_recorder.h"
#include "support/main_loop_helpers.h"
#include "support/pulse_server.h"

namespace lumewell::pulse {
namespace {

using lumewell::testing::commandOutput;
using lumewell::testing::PulseServer;
using lumewell::testing::TempDir;
using recorder::RecorderSettings;

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// ffprobe's view of the first audio stream and the container, key=value.
std::map<std::string, std::string> ffprobe(const std::string& path) {
  const std::string out = commandOutput(
      "ffprobe -v error -select_streams a:0 -show_entries "
      "stream=codec_name,profile,sample_rate,channels:format=duration "
      "-of default=noprint_wrappers=1 '" +
      path + "'");
  std::map<std::string, std::string> fields;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    const auto eq = line.find('=');
    if (eq != std::string::npos) fields[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return fields;
}

double ffprobeSeconds(const std::string& path) {
  auto fields = ffprobe(path);
  return fields.count("duration") ? std::stod(fields["duration"]) : -1.0;
}

RecorderSettings mono() { return RecorderSettings{}; }
RecorderSettings stereo() {
  RecorderSettings settings;
  settings.channels = 2;
  settings.bitRate = 192000;
  return settings;
}

// Level the way the meter tick turns power into a value: 10^(dB/20).
float levelOf(float db) { return std::pow(10.0f, db / 20.0f); }

float median(std::vector<float> values) {
  if (values.empty()) return -1;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

class PulseRecorderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(server_.start(&error)) << error;
    server_.exportEnvironment();
    tone_ = dir_.path() + "/tone.wav";
    ASSERT_TRUE(PulseServer::makeToneWav(tone_, 30, -6, 1000));
  }

  // Plays the tone into the virtual microphone and returns once the microphone carries it
  // (a player start can take a while on a busy machine).
  void playTone() {
    ASSERT_GT(server_.play(tone_), 0);
    struct Probe : PcmSink {
      std::atomic<bool> heard{false};
      void consume(const float* pcm, size_t frames) override {
        double sum = 0;
        for (size_t i = 0; i < frames; ++i) sum += double(pcm[i]) * pcm[i];
        if (frames > 0 && std::sqrt(sum / double(frames)) > 0.3) heard = true;
      }
    };
    auto probe = std::make_shared<Probe>();
    auto capture = PulseCaptureStream::open(CaptureOptions{}, probe);
    ASSERT_TRUE(capture) << capture.error().localizedDescription;
    for (int i = 0; i < 200 && !probe->heard; ++i) sleepMs(50);
    (*capture)->stop();
    ASSERT_TRUE(probe->heard) << "the tone never reached the virtual microphone";
  }

  // A recorder of path, recording (null, with the test failed, when it cannot start).
  static std::unique_ptr<PulseMicrophoneRecorder> recording(const std::string& path,
                                                            RecorderSettings settings = {}) {
    auto recorder = PulseMicrophoneRecorder::create(path, settings);
    EXPECT_TRUE(recorder) << recorder.error().localizedDescription;
    if (!recorder) return nullptr;
    if (!(*recorder)->record()) {
      ADD_FAILURE() << (*recorder)->lastError()->localizedDescription;
      return nullptr;
    }
    return std::move(*recorder);
  }

  // Records for ms, reading the meters every 250 ms; returns the levels read.
  std::vector<float> recordFor(PulseMicrophoneRecorder& recorder, int ms, int channel = 0) {
    std::vector<float> levels;
    for (int elapsed = 0; elapsed < ms; elapsed += 250) {
      sleepMs(250);
      recorder.updateMeters();
      levels.push_back(levelOf(recorder.averagePowerForChannel(channel)));
    }
    return levels;
  }

  PulseServer server_;
  TempDir dir_;
  std::string tone_;
};

// A finished file is AAC-LC at 48 kHz, exactly as long as the recorder says it recorded, and the
// meters read the tone's level in every channel (a -6 dBFS sine: -9 dBFS average, 0.35), and
// silence as silence.
TEST_F(PulseRecorderTest, ToneRecordsAsAacLcWithItsDurationAndLevelInMonoAndStereo) {
  playTone();
  for (int channels : {1, 2}) {
    SCOPED_TRACE(channels);
    const std::string path = dir_.path() + "/tone" + std::to_string(channels) + ".m4a";
    auto recorder = recording(path, channels == 1 ? mono() : stereo());
    ASSERT_TRUE(recorder);
    std::vector<float> left = recordFor(*recorder, 1500);
    // The last reading's other channel (the mono microphone fills both).
    const float right = levelOf(recorder->averagePowerForChannel(channels - 1));
    recorder->stop();
    EXPECT_FALSE(recorder->lastError());
    EXPECT_NEAR(median(left), 0.354f, 0.03f);
    EXPECT_NEAR(right, 0.354f, 0.05f);
    auto fields = ffprobe(path);
    EXPECT_EQ(fields["codec_name"], "aac");
    EXPECT_EQ(fields["profile"], "LC");
    EXPECT_EQ(fields["sample_rate"], "48000");
    EXPECT_EQ(fields["channels"], std::to_string(channels));
    EXPECT_NEAR(ffprobeSeconds(path), recorder->currentTime(), 0.005);
    const auto ms = media::mediaDurationMs(path);
    ASSERT_TRUE(ms.has_value());
    EXPECT_NEAR(double(*ms), recorder->currentTime() * 1000, 1.0);
  }

  server_.stopPlaying();
  auto quiet = recording(dir_.path() + "/quiet.m4a");
  ASSERT_TRUE(quiet);
  std::vector<float> silent = recordFor(*quiet, 1000);
  quiet->stop();
  for (float level : silent) EXPECT_LT(level, 0.001f);
}

TEST_F(PulseRecorderTest, ServerDeathLeavesAPlayableFileAndALaterRecorderReconnects) {
  playTone();
  const std::string path = dir_.path() + "/000000.m4a";
  auto recorder = recording(path);
  ASSERT_TRUE(recorder);
  sleepMs(1000);
  server_.kill9();
  sleepMs(300);
  recorder->updateMeters();
  recorder->stop();  // must neither hang nor crash
  EXPECT_TRUE(recorder->captureLost());
  EXPECT_EQ(ffprobe(path)["codec_name"], "aac");
  EXPECT_NEAR(ffprobeSeconds(path), recorder->currentTime(), 0.005);

  // With no server: the start fails with the server's own words, and the status is unknown.
  auto orphan = PulseMicrophoneRecorder::create(dir_.path() + "/orphan.m4a", mono());
  ASSERT_TRUE(orphan);
  EXPECT_FALSE((*orphan)->record());
  ASSERT_TRUE((*orphan)->lastError());
  EXPECT_EQ((*orphan)->lastError()->domain, kPulseErrorDomain);
  EXPECT_EQ((*orphan)->lastError()->code, PA_ERR_CONNECTIONREFUSED);
  EXPECT_EQ((*orphan)->lastError()->localizedDescription, "Connection refused");
  EXPECT_EQ(microphoneAuthorizationStatus(), -1);
  (*orphan)->stop();

  // The server comes back: the next recorder reconnects.
  std::string error;
  ASSERT_TRUE(server_.restart(&error)) << error;
  playTone();
  EXPECT_EQ(microphoneAuthorizationStatus(), 3);
  auto again = recording(dir_.path() + "/000001.m4a");
  ASSERT_TRUE(again);
  std::vector<float> levels = recordFor(*again, 1000);
  again->stop();
  EXPECT_NEAR(levels.back(), 0.354f, 0.05f);
  EXPECT_NEAR(ffprobeSeconds(dir_.path() + "/000001.m4a"), again->currentTime(), 0.005);
}

TEST_F(PulseRecorderTest, AFrozenServerCostsBoundedWaitsNotAHang) {
  playTone();
  const std::string path = dir_.path() + "/000000.m4a";
  auto recorder = recording(path);
  ASSERT_TRUE(recorder);
  sleepMs(500);
  server_.freeze();  // connected socket, no answers

  auto next = PulseMicrophoneRecorder::create(dir_.path() + "/000001.m4a", mono());
  ASSERT_TRUE(next);
  EXPECT_FALSE((*next)->record());
  ASSERT_TRUE((*next)->lastError());
  EXPECT_EQ((*next)->lastError()->code, PA_ERR_TIMEOUT);
  EXPECT_EQ(microphoneAuthorizationStatus(), -1);
  recorder->stop();
  (*next)->stop();
  EXPECT_EQ(ffprobe(path)["codec_name"], "aac");
  EXPECT_NEAR(ffprobeSeconds(path), recorder->currentTime(), 0.005);

  server_.thaw();
  EXPECT_EQ(microphoneAuthorizationStatus(), 3);
}

// The host starts connecting at launch; a start arriving meanwhile may give up first. It
// must leave the connect in progress to its owner, which then completes.
TEST_F(PulseRecorderTest, ACallerThatGivesUpLeavesTheConnectInProgressToItsOwner) {
  server_.freeze();  // the hand-shake waits
  PulseConnection& connection = PulseConnection::shared();
  std::promise<OptionalError> owner;
  std::thread launch([&] { owner.set_value(connection.connect(std::chrono::milliseconds(8000))); });
  sleepMs(300);
  OptionalError impatient = connection.connect(std::chrono::milliseconds(200));
  ASSERT_TRUE(impatient);
  EXPECT_EQ(impatient->code, PA_ERR_TIMEOUT);
  server_.thaw();
  launch.join();
  EXPECT_EQ(owner.get_future().get(), std::nullopt);
  PulseConnection::Lock lock(connection);
  EXPECT_NE(connection.readyContextLocked(), nullptr);
}

TEST_F(PulseRecorderTest, AuthorizationFollowsWhatTheServerAllows) {
  PulseAudioServices services;
  EXPECT_EQ(services.microphoneAuthorizationStatus(), 3);
  std::promise<bool> granted;
  services.requestMicrophoneAccess([&](bool ok) { granted.set_value(ok); });
  EXPECT_TRUE(granted.get_future().get());

  // The other services: files and storage.
  EXPECT_TRUE(services.freeDiskBytes().has_value());
  EXPECT_EQ(services.dataDirectory(),
            std::string(g_get_user_data_dir()) + "/app.lumewell.Recorder");

  // A server that wants its cookie refuses a client holding another one: denied.
  server_.kill9();
  PulseServer strict(PulseServer::Options{.anonymous = false});
  if (!strict.refusesStrangers()) GTEST_SKIP() << "needs PulseAudio run as another uid (root)";
  std::string error;
  ASSERT_TRUE(strict.start(&error)) << error;
  strict.exportEnvironment();
  const std::string cookie = dir_.path() + "/wrong-cookie";
  std::ofstream(cookie, std::ios::binary) << std::string(256, 'x');
  ::setenv("PULSE_COOKIE", cookie.c_str(), 1);
  EXPECT_EQ(services.microphoneAuthorizationStatus(), 2);
  auto refused = PulseMicrophoneRecorder::create(dir_.path() + "/refused.m4a", mono());
  ASSERT_TRUE(refused);
  EXPECT_FALSE((*refused)->record());
  ASSERT_TRUE((*refused)->lastError());
  EXPECT_EQ((*refused)->lastError()->code, PA_ERR_ACCESS);
  EXPECT_EQ((*refused)->lastError()->localizedDescription, "Access denied");
  std::promise<bool> denied;
  services.requestMicrophoneAccess([&](bool ok) { denied.set_value(ok); });
  EXPECT_FALSE(denied.get_future().get());
  ::unsetenv("PULSE_COOKIE");
  server_.exportEnvironment();
}

}  // namespace
}  // namespace lumewell::pulse
