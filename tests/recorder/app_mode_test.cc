#include "recorder/recorder_fakes.h"

namespace lumewell::recorder::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

class AppModeTest : public RecorderTest {
 protected:
  // As the real recorder does: a rotation hands the run (capture, encoder, live mix) over.
  AppModeTest() { audio->offerHandover = true; }
  std::shared_ptr<Call> startApp(std::optional<std::string> displayName = "Meeting") {
    ValueMap args{
        {"recordingId", "rec-1"}, {"captureMode", "MIC_PLUS_APP_AUDIO"}, {"sourceId", "4711"}};
    if (displayName) args.set("sourceDisplayName", *displayName);
    auto call = messenger.invoke("startRecording", Value(args));
    scheduler.runPending();
    return call;
  }
  std::vector<Value> sourceLost() const { return messenger.eventsOfType("source_lost"); }
};

TEST_F(AppModeTest, AnswersAfterTheCaptureStartsAndMixesItLiveIntoEachSegmentOfTheRun) {
  app->holdStart = true;
  auto call = startApp();
  EXPECT_FALSE(call->answered());
  EXPECT_EQ(scheduler.activeTimerCount(), 0u);  // the timers wait for the capture
  ASSERT_EQ(app->captures.size(), 1u);
  EXPECT_EQ(app->resolved, std::vector<std::string>{"4711"});
  EXPECT_EQ(app->captures[0]->target.processId, 4711);
  ASSERT_EQ(audio->feeds.size(), 1u);
  EXPECT_EQ(app->captures[0]->feed, audio->feeds[0]);  // into the recording's live mix
  EXPECT_EQ(audio->settingsUsed.back().channels, 2);
  EXPECT_EQ(audio->settingsUsed.back().bitRate, 192000);
  EXPECT_TRUE(audio->settingsUsed.back().mixAppAudio);
  app->holdStart = false;
  app->captures[0]->heldStart(std::nullopt);
  scheduler.runPending();
  expectSuccess(call);
  EXPECT_EQ(scheduler.activeTimerCount(), 2u);

  // Rotations only cut the run: the capture feeds on, nothing is mixed afterwards, and no
  // source files exist beside the segments.
  scheduler.advance(seconds(30));
  scheduler.advance(seconds(30));
  EXPECT_EQ(audio->log,
            (std::vector<std::string>{"record 000000.m4a", "handover 000000.m4a -> 000001.m4a",
                                      "stop 000000.m4a", "handover 000001.m4a -> 000002.m4a",
                                      "stop 000001.m4a"}));
  auto sealed = messenger.eventsOfType("segment_sealed");
  ASSERT_EQ(sealed.size(), 2u);
  EXPECT_EQ(str(sealed[1], "path"), file("000001.m4a"));
  EXPECT_EQ(num(sealed[1], "channelCount"), 2);
  EXPECT_EQ(app->captures.size(), 1u);
  EXPECT_FALSE(app->captures[0]->stopped);
  EXPECT_EQ(app->resolved.size(), 1u);
  EXPECT_TRUE(audio->composeCalls.empty());
  for (const char* name : {"000000-mic.m4a", "000000-app.m4a", "000001-mic.m4a"}) {
    EXPECT_FALSE(exists(file(name))) << name;
  }
  EXPECT_TRUE(sourceLost().empty());

  // The stop ends the capture with the run.
  expectSuccess(invokeAndRun("stopRecording"));
  EXPECT_TRUE(app->captures[0]->stopped);
  EXPECT_EQ(messenger.eventTypes(), (std::vector<std::string>{"segment_sealed", "segment_sealed",
                                                              "segment_sealed", "stopped"}));
}

TEST_F(AppModeTest, ACaptureThatCannotResolveOrStartLosesTheSourceAndTheMicrophoneRecordsOn) {
  app->resolveResult =
      programError(34, "The selected desktop app is no longer available to capture.");
  expectSuccess(startApp("Meeting App"));
  ASSERT_EQ(sourceLost().size(), 1u);
  EXPECT_EQ(sourceLost()[0].asMap()->size(), 3u);
  EXPECT_EQ(str(sourceLost()[0], "reason"),
            "The selected desktop app is no longer available to capture.");
  EXPECT_EQ(str(sourceLost()[0], "sourceDisplayName"), "Meeting App");
  EXPECT_EQ(plugin->runtimeState(), RuntimeState::recording);

  // The next segment tries again and this time the capture refuses to start.
  app->resolveResult = AppAudioTarget{4711, "Meeting", "org.meeting", 1, "Out"};
  app->startError = programError(20, "capture refused");
  scheduler.advance(seconds(30));
  auto sealed = messenger.eventsOfType("segment_sealed");
  ASSERT_EQ(sealed.size(), 1u);
  EXPECT_EQ(num(sealed[0], "channelCount"), 2);
  EXPECT_EQ(app->resolved.size(), 2u);
  ASSERT_EQ(sourceLost().size(), 2u);
  EXPECT_EQ(str(sourceLost()[1], "reason"), "capture refused");
  ASSERT_EQ(app->captures.size(), 1u);
  EXPECT_TRUE(app->captures[0]->destroyed);
  EXPECT_EQ(plugin->runtimeState(), RuntimeState::recording);
  EXPECT_EQ(scheduler.activeTimerCount(), 2u);
}

TEST_F(AppModeTest, ALostApplicationIsSourceLostAndTriedAgainAtTheNextSegmentOfTheSameRun) {
  expectSuccess(startApp(std::nullopt));  // no display name: the source id names it
  ASSERT_EQ(app->captures.size(), 1u);
  onOtherThread([&] { app->captures[0]->onUnexpectedStop("The app quit."); });
  scheduler.runPending();
  ASSERT_EQ(sourceLost().size(), 1u);
  EXPECT_EQ(str(sourceLost()[0], "reason"), "The app quit.");
  EXPECT_EQ(str(sourceLost()[0], "sourceDisplayName"), "4711");
  EXPECT_FALSE(app->captures[0]->stopped);
  EXPECT_EQ(plugin->runtimeState(), RuntimeState::recording);

  // At the rotation the lost capture ends and a new one feeds the same run.
  scheduler.advance(seconds(30));
  EXPECT_TRUE(app->captures[0]->stopped);
  ASSERT_EQ(app->captures.size(), 2u);
  EXPECT_EQ(app->resolved.size(), 2u);
  ASSERT_EQ(audio->feeds.size(), 1u);
  EXPECT_EQ(app->captures[1]->feed, audio->feeds[0]);

  // A stop whose capture ends with an error reports it before the last segment.
  app->stopError = programError(20, "capture failed");
  expectSuccess(invokeAndRun("stopRecording"));
  EXPECT_EQ(messenger.eventTypes(),
            (std::vector<std::string>{"source_lost", "segment_sealed", "source_lost",
                                      "segment_sealed", "stopped"}));
  EXPECT_EQ(str(sourceLost()[1], "reason"), "capture failed");
}

TEST_F(AppModeTest, APauseOrAFailedHandoverEndsTheCaptureWithTheRunAndTheNextRunCapturesAgain) {
  expectSuccess(startApp());
  expectSuccess(invokeAndRun("pauseRecording"));
  EXPECT_TRUE(app->captures[0]->stopped);
  EXPECT_EQ(plugin->runtimeState(), RuntimeState::paused);
  expectSuccess(invokeAndRun("resumeRecording"));
  ASSERT_EQ(audio->feeds.size(), 2u);
  ASSERT_EQ(app->captures.size(), 2u);
  EXPECT_EQ(app->captures[1]->feed, audio->feeds[1]);

  // A rotation that cannot hand the run over stops and starts both.
  audio->handoverFails = true;
  scheduler.advance(seconds(30));
  EXPECT_TRUE(app->captures[1]->stopped);
  ASSERT_EQ(app->captures.size(), 3u);
  ASSERT_EQ(audio->feeds.size(), 3u);
  EXPECT_EQ(app->captures[2]->feed, audio->feeds[2]);
  EXPECT_EQ(messenger.eventTypes(), (std::vector<std::string>{"segment_sealed", "segment_sealed"}));
  EXPECT_TRUE(sourceLost().empty());
}

TEST_F(AppModeTest, StopDuringThePendingCaptureStartSealsTheSegmentAfterTheStartAnswers) {
  app->holdStart = true;
  auto start = startApp();
  auto stop = invokeAndRun("stopRecording");
  EXPECT_FALSE(stop->answered());
  app->captures[0]->heldStart(std::nullopt);
  scheduler.runPending();
  expectSuccess(start);
  expectSuccess(stop);
  EXPECT_EQ(messenger.eventTypes(), (std::vector<std::string>{"segment_sealed", "stopped"}));
  EXPECT_TRUE(app->captures[0]->stopped);
  EXPECT_EQ(scheduler.activeTimerCount(), 0u);
}

TEST_F(AppModeTest, EndingAnApplicationSessionFinishesItsCaptureAndKeepsUnsealedFiles) {
  expectSuccess(startApp());
  audio->hashFails.insert(file("000000.m4a"));
  expectError(invokeAndRun("stopRecording"), "stop_failed", "Failed to stop recording.", "*");
  // The stop finished the capture before the seal failed; the unsealed file stays, and the
  // next session in the folder goes around it.
  EXPECT_TRUE(app->captures[0]->stopped);
  EXPECT_TRUE(exists(file("000000.m4a")));

  // Starting over a running application session finishes its capture and seals it first.
  audio->hashFails.clear();
  expectSuccess(startApp());
  ASSERT_EQ(app->captures.size(), 2u);
  EXPECT_EQ(audio->log.back(), "record 000001.m4a");
  messenger.events.clear();
  expectSuccess(start("next"));
  EXPECT_EQ(messenger.eventTypes(), (std::vector<std::string>{"segment_sealed", "stopped"}));
  EXPECT_TRUE(app->captures[1]->stopped);
  EXPECT_FALSE(app->captures[1]->cancelled);
  EXPECT_EQ(audio->settingsUsed.back().channels, 1);
  EXPECT_FALSE(audio->settingsUsed.back().mixAppAudio);
}

}  // namespace
}  // namespace lumewell::recorder::testing
