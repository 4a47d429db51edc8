#include <algorithm>

#include "recorder/recorder_fakes.h"

namespace lumewell::recorder::testing {
namespace {

using std::chrono::seconds;

class AppModeTest : public RecorderTest {
 protected:
  // As the real recorder does: a rotation hands the run (capture, encoder, live mix) over.
  AppModeTest() { audio->offerHandover = true; }
  std::shared_ptr<Call> startApp(std::optional<std::string> displayName = "Meeting") {
    return start("rec-1", "MIC_PLUS_APP_AUDIO", "4711", displayName);
  }
  // Each capture as "run <n>", the run (the recording's live mix) it feeds, and what ended it.
  Log captures() const {
    Log out;
    for (const auto& c : app->captures) {
      const auto run = std::find(audio->feeds.begin(), audio->feeds.end(), c->feed);
      out.push_back("run " + std::to_string(run - audio->feeds.begin()) +
                    (c->stopped ? " stopped" : "") + (c->cancelled ? " cancelled" : ""));
    }
    return out;
  }
};

TEST_F(AppModeTest, AnswersAfterTheCaptureStartsAndMixesItLiveIntoEachSegmentOfTheRun) {
  app->holdStart = true;
  auto call = startApp();
  EXPECT_FALSE(call->answered());
  EXPECT_EQ(state(), "recording, 0 timers");  // the timers wait for the capture
  const RecorderSettings& s = audio->settingsUsed.back();
  EXPECT_EQ(std::tuple(s.channels, s.bitRate, s.mixAppAudio), std::tuple(2, 192000, true));
  app->captures.at(0)->heldStart(std::nullopt);
  scheduler.runPending();
  expectSuccess(call);
  EXPECT_EQ(state(), "recording, 2 timers");
  // A rotation only cuts the run: the capture feeds on (the integration test hears it).
  scheduler.advance(seconds(30));
  ok({"stopRecording"});
  EXPECT_EQ(captures(), Log{"run 0 stopped"});
  EXPECT_EQ(types(), (Log{"segment_sealed", "segment_sealed", "stopped"}));

  // A stop while the capture is still starting seals the segment once the start answers.
  events.clear();
  auto start = startApp();
  auto stop = invokeAndRun("stopRecording");
  EXPECT_FALSE(stop->answered());
  app->captures.at(1)->heldStart(std::nullopt);
  scheduler.runPending();
  expectSuccess(start);
  expectSuccess(stop);
  EXPECT_EQ(types(), (Log{"segment_sealed", "stopped"}));
  EXPECT_EQ(captures(), (Log{"run 0 stopped", "run 1 stopped"}));
  EXPECT_EQ(state(), "idle, 0 timers");
}

TEST_F(AppModeTest, ACaptureThatFailsToStartOrGoesLosesTheSourceAndIsTriedAtTheNextSegment) {
  app->startError = programError(20, "capture refused");
  expectSuccess(startApp(std::nullopt));  // no display name: the source id names it
  EXPECT_EQ(eventLog(), Log{"lost capture refused (4711)"});

  app->startError.reset();
  scheduler.advance(seconds(30));
  onOtherThread([&] { app->captures.at(1)->onUnexpectedStop("The app quit."); });
  scheduler.runPending();
  // At the rotation the lost capture ends and a new one feeds the same run; a stop whose
  // capture ends with an error reports it before the last segment.
  scheduler.advance(seconds(30));
  EXPECT_EQ(captures(), (Log{"run 0 cancelled", "run 0 stopped", "run 0"}));
  app->stopError = programError(20, "capture failed");
  ok({"stopRecording"});
  EXPECT_EQ(
      eventLog(),
      (Log{"lost capture refused (4711)", "sealed 0 rec-1/000000.m4a 00:00:00.000Z",
           "lost The app quit. (4711)", "sealed 1 rec-1/000001.m4a 00:00:30.000Z",
           "lost capture failed (4711)", "sealed 2 rec-1/000002.m4a 00:01:00.000Z", "stopped"}));
}

TEST_F(AppModeTest, PauseAFailedHandoverOrAStartOverEndTheCaptureWithTheRun) {
  expectSuccess(startApp());
  ok({"pauseRecording", "resumeRecording"});
  EXPECT_EQ(captures(), (Log{"run 0 stopped", "run 1"}));
  audio->handoverFails = true;  // the rotation stops and starts both
  scheduler.advance(seconds(30));
  EXPECT_EQ(captures(), (Log{"run 0 stopped", "run 1 stopped", "run 2"}));
  expectSuccess(start("next"));
  EXPECT_EQ(types(), (Log{"segment_sealed", "segment_sealed", "segment_sealed", "stopped"}));
  EXPECT_EQ(captures(), (Log{"run 0 stopped", "run 1 stopped", "run 2 stopped"}));
  const RecorderSettings& s = audio->settingsUsed.back();
  EXPECT_EQ(std::pair(s.channels, s.mixAppAudio), std::pair(1, false));
}

}  // namespace
}  // namespace lumewell::recorder::testing
