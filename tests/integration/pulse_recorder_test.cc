#include <future>
#include <thread>

#include "media/media_probe.h"
#include "pulse/microphone_access.h"
#include "pulse/pulse_audio_services.h"
#include "pulse/pulse_connection.h"
#include "pulse/pulse_microphone_recorder.h"
#include "support/sound_server_fixture.h"

namespace lumewell::pulse {
namespace {

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

class PulseRecorderTest : public testing::SoundServerTest {
 protected:
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
};

// The host starts connecting at launch; a start arriving meanwhile may give up first. It
// must leave the connect in progress to its owner, which then completes. A server that freezes
// later costs bounded waits, not a hang; one that dies is reported so.
TEST_F(PulseRecorderTest, FrozenAndDeadServersCostBoundedWaitsAndAreReportedAsTheyAre) {
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

  ASSERT_GT(server.play(tone("tone", 30, -6, 1000)), 0);
  const std::string path = folder.path() + "/000000.m4a";
  auto recorder = PulseMicrophoneRecorder::create(path, {});
  ASSERT_TRUE(recorder);
  ASSERT_TRUE((*recorder)->record()) << (*recorder)->lastError()->localizedDescription;
  sleepMs(500);
  server.freeze();  // connected socket, no answers
  expectStartFails(PA_ERR_TIMEOUT);
  EXPECT_EQ(microphoneAuthorizationStatus(), -1);
  (*recorder)->stop();
  // The file is complete: AAC-LC at 48 kHz and exactly as long as the recorder says.
  EXPECT_EQ(audioFormat(path), "aac,LC,48000,1\n");
  const auto ms = media::mediaDurationMs(path);
  ASSERT_TRUE(ms.has_value());
  EXPECT_NEAR(double(*ms), (*recorder)->currentTime() * 1000, 1.0);
  server.thaw();

  // A live server grants access; a dead one leaves the status unknown and refuses a start in
  // its own words; a restarted one is reconnected to. (A recording the server's death cuts
  // short: the plug-in's tests.)
  PulseAudioServices services;
  auto access = [&] {
    std::promise<bool> granted;
    services.requestMicrophoneAccess([&](bool ok) { granted.set_value(ok); });
    return granted.get_future().get();
  };
  EXPECT_EQ(services.microphoneAuthorizationStatus(), 3);
  EXPECT_TRUE(access());

  server.kill9();
  expectStartFails(PA_ERR_CONNECTIONREFUSED, "Connection refused");
  EXPECT_EQ(services.microphoneAuthorizationStatus(), -1);

  std::string error;
  ASSERT_TRUE(server.start(&error)) << error;
  EXPECT_EQ(services.microphoneAuthorizationStatus(), 3);
  EXPECT_TRUE(access());
}

}  // namespace
}  // namespace lumewell::pulse
