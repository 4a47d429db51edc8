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
  int64_t channelsOfLastSeal() const {
    return num(eventsOfType("segment_sealed").back(), "channelCount");
  }
};

TEST_F(AppModeTest, AnswersAfterTheCaptureStartsAndMixesItLiveIntoEachSegmentOfTheRun) {
  app->holdStart = true;
  auto call = startApp();
  EXPECT_FALSE(call->answered());
  EXPECT_EQ(state(), "recording, 0 timers");  // the timers wait for the capture
  EXPECT_EQ(app->resolved, Log{"4711"});
  EXPECT_EQ(captures(), Log{"run 0"});
  EXPECT_EQ(app->captures[0]->target.processId, 4711);
  const RecorderSettings& s = audio->settingsUsed.back();
  EXPECT_EQ(std::tuple(s.channels, s.bitRate, s.mixAppAudio), std::tuple(2, 192000, true));
  app->holdStart = false;
  app->captures[0]->heldStart(std::nullopt);
  scheduler.runPending();
  expectSuccess(call);
  EXPECT_EQ(state(), "recording, 2 timers");

  // Rotations only cut the run: the capture feeds on and nothing is mixed afterwards.
  scheduler.advance(seconds(60));
  EXPECT_EQ(audio->log,
            (Log{"record 000000.m4a", "handover 000000.m4a -> 000001.m4a", "stop 000000.m4a",
                 "handover 000001.m4a -> 000002.m4a", "stop 000001.m4a"}));
  EXPECT_EQ(eventLog(), (Log{"sealed 0 rec-1/000000.m4a 00:00:00.000Z",
                             "sealed 1 rec-1/000001.m4a 00:00:30.000Z"}));
  EXPECT_EQ(channelsOfLastSeal(), 2);
  EXPECT_EQ(captures(), Log{"run 0"});
  EXPECT_EQ(app->resolved.size(), 1u);
  EXPECT_TRUE(audio->composeCalls.empty());

  ok({"stopRecording"});
  EXPECT_EQ(captures(), Log{"run 0 stopped"});
  EXPECT_EQ(types(), (Log{"segment_sealed", "segment_sealed", "segment_sealed", "stopped"}));

  // A stop while the capture is still starting seals the segment once the start answers.
  events.clear();
  app->holdStart = true;
  auto start = startApp();
  auto stop = invokeAndRun("stopRecording");
  EXPECT_FALSE(stop->answered());
  app->captures[1]->heldStart(std::nullopt);
  scheduler.runPending();
  expectSuccess(start);
  expectSuccess(stop);
  EXPECT_EQ(types(), (Log{"segment_sealed", "stopped"}));
  EXPECT_EQ(captures(), (Log{"run 0 stopped", "run 1 stopped"}));
  EXPECT_EQ(state(), "idle, 0 timers");
}

TEST_F(AppModeTest, ACaptureThatCannotResolveOrStartLosesTheSourceAndTheMicrophoneRecordsOn) {
  const std::string gone = "The selected desktop app is no longer available to capture.";
  app->resolveResult = programError(34, gone);
  expectSuccess(startApp("Meeting App"));
  EXPECT_EQ(eventLog(), Log{"lost " + gone + " (Meeting App)"});

  // The next segment tries again and this time the capture refuses to start.
  app->resolveResult = AppAudioTarget{4711, "Meeting", "org.meeting", 1, "Out"};
  app->startError = programError(20, "capture refused");
  scheduler.advance(seconds(30));
  EXPECT_EQ(eventLog(),
            (Log{"lost " + gone + " (Meeting App)", "sealed 0 rec-1/000000.m4a 00:00:00.000Z",
                 "lost capture refused (Meeting App)"}));
  EXPECT_EQ(channelsOfLastSeal(), 2);
  EXPECT_EQ(app->resolved.size(), 2u);
  ASSERT_EQ(app->captures.size(), 1u);
  EXPECT_TRUE(app->captures[0]->destroyed);
  EXPECT_EQ(state(), "recording, 2 timers");
}

TEST_F(AppModeTest, ALostApplicationIsSourceLostAndTriedAgainAtTheNextSegmentOfTheSameRun) {
  expectSuccess(startApp(std::nullopt));  // no display name: the source id names it
  ASSERT_EQ(app->captures.size(), 1u);
  onOtherThread([&] { app->captures[0]->onUnexpectedStop("The app quit."); });
  scheduler.runPending();
  EXPECT_EQ(eventLog(), Log{"lost The app quit. (4711)"});
  EXPECT_EQ(captures(), Log{"run 0"});
  EXPECT_EQ(plugin->runtimeState(), RuntimeState::recording);

  // At the rotation the lost capture ends and a new one feeds the same run.
  scheduler.advance(seconds(30));
  EXPECT_EQ(captures(), (Log{"run 0 stopped", "run 0"}));
  EXPECT_EQ(app->resolved.size(), 2u);

  // A stop whose capture ends with an error reports it before the last segment.
  app->stopError = programError(20, "capture failed");
  ok({"stopRecording"});
  EXPECT_EQ(eventLog(), (Log{"lost The app quit. (4711)", "sealed 0 rec-1/000000.m4a 00:00:00.000Z",
                             "lost capture failed (4711)",
                             "sealed 1 rec-1/000001.m4a 00:00:30.000Z", "stopped"}));
}

TEST_F(AppModeTest, APauseOrAFailedHandoverEndsTheCaptureWithTheRunAndTheNextRunCapturesAgain) {
  expectSuccess(startApp());
  ok({"pauseRecording", "resumeRecording"});
  EXPECT_EQ(captures(), (Log{"run 0 stopped", "run 1"}));

  // A rotation that cannot hand the run over stops and starts both.
  audio->handoverFails = true;
  scheduler.advance(seconds(30));
  EXPECT_EQ(captures(), (Log{"run 0 stopped", "run 1 stopped", "run 2"}));
  EXPECT_EQ(types(), (Log{"segment_sealed", "segment_sealed"}));
}

TEST_F(AppModeTest, EndingAnApplicationSessionFinishesItsCaptureAndKeepsUnsealedFiles) {
  expectSuccess(startApp());
  audio->hashFails.insert(file("000000.m4a"));
  expectError(invokeAndRun("stopRecording"), "stop_failed", "Failed to stop recording.", "*");
  // The next session goes around the unsealed file; starting over a running application
  // session finishes its capture and seals it first.
  audio->hashFails.clear();
  expectSuccess(startApp());
  EXPECT_EQ(audio->log.back(), "record 000001.m4a");
  events.clear();
  expectSuccess(start("next"));
  EXPECT_EQ(types(), (Log{"segment_sealed", "stopped"}));
  EXPECT_EQ(captures(), (Log{"run 0 stopped", "run 1 stopped"}));
  const RecorderSettings& s = audio->settingsUsed.back();
  EXPECT_EQ(std::pair(s.channels, s.mixAppAudio), std::pair(1, false));
}

}  // namespace
}  // namespace lumewell::recorder::testing
