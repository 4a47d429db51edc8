#include "recorder/recorder_fakes.h"

namespace lumewell::recorder::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

class AppModeTest : public RecorderTest {
 protected:
  std::shared_ptr<FakeMessenger::Call> startApp(
      std::optional<std::string> displayName = "Meeting") {
    ValueMap args{
        {"recordingId", "rec-1"}, {"captureMode", "MIC_PLUS_APP_AUDIO"}, {"sourceId", "4711"}};
    if (displayName) args.set("sourceDisplayName", *displayName);
    auto call = messenger.invoke("startRecording", Value(args));
    scheduler.runPending();
    return call;
  }
  std::vector<Value> sourceLost() const { return messenger.eventsOfType("source_lost"); }
};

TEST_F(AppModeTest, AnswersAfterTheCaptureStartsAndMixesBothFilesIntoTheSealedSegment) {
  app->holdStart = true;
  auto call = startApp();
  EXPECT_FALSE(call->answered());
  EXPECT_EQ(scheduler.activeTimerCount(), 0u);  // the timers wait for the capture
  ASSERT_EQ(app->captures.size(), 1u);
  EXPECT_EQ(app->resolved, std::vector<std::string>{"4711"});
  EXPECT_EQ(app->captures[0]->target.processId, 4711);
  EXPECT_EQ(app->captures[0]->path, file("000000-app.m4a"));
  EXPECT_TRUE(exists(file("000000-mic.m4a")));
  EXPECT_EQ(audio->settingsUsed.back().channels, 2);
  EXPECT_EQ(audio->settingsUsed.back().bitRate, 192000);
  app->holdStart = false;
  app->captures[0]->heldStart(std::nullopt);
  scheduler.runPending();
  expectSuccess(call);
  EXPECT_EQ(scheduler.activeTimerCount(), 2u);

  // The sources are still there when the record goes out, and gone right after.
  int checked = 0;
  messenger.onEvent = [&](const Value& event) {
    if (str(event, "type") != "segment_sealed") return;
    ++checked;
    EXPECT_TRUE(exists(file("000000-mic.m4a")));
    EXPECT_TRUE(exists(file("000000-app.m4a")));
  };
  scheduler.advance(seconds(30));
  EXPECT_EQ(checked, 1);
  EXPECT_TRUE(app->captures[0]->stopped);
  ASSERT_EQ(audio->composeCalls.size(), 1u);
  EXPECT_EQ(audio->composeCalls[0].paths,
            (std::vector<std::string>{file("000000-mic.m4a"), file("000000-app.m4a")}));
  EXPECT_EQ(audio->composeCalls[0].output, file("000000.m4a"));
  EXPECT_TRUE(audio->composeCalls[0].overlay);
  auto sealed = messenger.eventsOfType("segment_sealed");
  ASSERT_EQ(sealed.size(), 1u);
  EXPECT_EQ(str(sealed[0], "path"), file("000000.m4a"));
  EXPECT_EQ(num(sealed[0], "channelCount"), 2);
  EXPECT_EQ(readFile(file("000000.m4a")).rfind("mixed:", 0), 0u);
  EXPECT_FALSE(exists(file("000000-mic.m4a")));
  EXPECT_FALSE(exists(file("000000-app.m4a")));

  // The next segment captures the application again, beside 000001-mic.m4a.
  EXPECT_TRUE(exists(file("000001-mic.m4a")));
  ASSERT_EQ(app->captures.size(), 2u);
  EXPECT_EQ(app->captures[1]->path, file("000001-app.m4a"));
  EXPECT_TRUE(sourceLost().empty());
}

TEST_F(AppModeTest, ACaptureThatCannotResolveOrStartLosesTheSourceAndSealsTheMicrophoneAlone) {
  app->resolveResult =
      programError(34, "The selected desktop app is no longer available to capture.");
  expectSuccess(startApp("Meeting App"));
  ASSERT_EQ(sourceLost().size(), 1u);
  EXPECT_EQ(sourceLost()[0].asMap()->size(), 3u);
  EXPECT_EQ(str(sourceLost()[0], "reason"),
            "The selected desktop app is no longer available to capture.");
  EXPECT_EQ(str(sourceLost()[0], "sourceDisplayName"), "Meeting App");
  EXPECT_EQ(plugin->runtimeState(), RuntimeState::recording);
  const std::string mic = readFile(file("000000-mic.m4a"));

  // The next segment tries again and this time the capture refuses to start.
  app->resolveResult = AppAudioTarget{4711, "Meeting", "org.meeting", 1, "Out"};
  app->startError = programError(20, "capture refused");
  scheduler.advance(seconds(30));
  EXPECT_TRUE(audio->composeCalls.empty());
  auto sealed = messenger.eventsOfType("segment_sealed");
  ASSERT_EQ(sealed.size(), 1u);
  EXPECT_EQ(readFile(file("000000.m4a")), mic);  // a byte copy of the microphone file
  EXPECT_EQ(num(sealed[0], "channelCount"), 2);
  EXPECT_FALSE(exists(file("000000-mic.m4a")));
  EXPECT_EQ(app->resolved.size(), 2u);
  ASSERT_EQ(sourceLost().size(), 2u);
  EXPECT_EQ(str(sourceLost()[1], "reason"), "capture refused");
  ASSERT_EQ(app->captures.size(), 1u);
  EXPECT_TRUE(app->captures[0]->destroyed);
  EXPECT_EQ(plugin->runtimeState(), RuntimeState::recording);
  EXPECT_EQ(scheduler.activeTimerCount(), 2u);
}

TEST_F(AppModeTest, UnexpectedStopAndStopErrorsAreSourceLostWhileTheMicrophoneGoesOn) {
  expectSuccess(startApp(std::nullopt));  // no display name: the source id names it
  ASSERT_EQ(app->captures.size(), 1u);
  onOtherThread([&] { app->captures[0]->onUnexpectedStop("The app quit."); });
  scheduler.runPending();
  ASSERT_EQ(sourceLost().size(), 1u);
  EXPECT_EQ(str(sourceLost()[0], "reason"), "The app quit.");
  EXPECT_EQ(str(sourceLost()[0], "sourceDisplayName"), "4711");
  EXPECT_FALSE(app->captures[0]->stopped);
  EXPECT_EQ(plugin->runtimeState(), RuntimeState::recording);

  // The stop at the segment's end fails: one more source_lost, and sealing goes on; the
  // application file is written, so it is mixed.
  app->stopError = programError(20, "writer failed");
  scheduler.advance(seconds(30));
  ASSERT_EQ(sourceLost().size(), 2u);
  EXPECT_EQ(str(sourceLost()[1], "reason"), "writer failed");
  EXPECT_EQ(messenger.eventsOfType("segment_sealed").size(), 1u);
  EXPECT_EQ(audio->composeCalls.size(), 1u);
}

TEST_F(AppModeTest, AnUnusableApplicationFileIsReplacedByACopyOverAnyStaleOutput) {
  expectSuccess(startApp());
  audio->durations[file("000000-app.m4a")] = 0;
  writeFile(file("000000.m4a"), "stale");
  scheduler.advance(seconds(30));
  EXPECT_TRUE(audio->composeCalls.empty());
  EXPECT_EQ(readFile(file("000000.m4a")).rfind("audio ", 0), 0u);
  EXPECT_EQ(messenger.eventsOfType("segment_sealed").size(), 1u);

  // A missing application file is unusable as well.
  app->writeAppFile = false;
  scheduler.advance(seconds(30));  // seals 000001 (its app file was written before)
  scheduler.advance(seconds(30));  // seals 000002, whose capture wrote nothing
  EXPECT_EQ(audio->composeCalls.size(), 1u);
  EXPECT_EQ(messenger.eventsOfType("segment_sealed").size(), 3u);
  EXPECT_EQ(readFile(file("000002.m4a")).rfind("audio ", 0), 0u);
}

TEST_F(AppModeTest, AFailedMixdownEndsTheSessionAndKeepsBothSources) {
  expectSuccess(startApp());
  audio->composeError = Error{"ffmpeg", 1, "Encoder failed."};
  scheduler.advance(seconds(30));
  EXPECT_TRUE(messenger.eventsOfType("segment_sealed").empty());
  auto errors = messenger.eventsOfType("error");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(str(errors[0], "message"), "Failed to rotate recording segment: Encoder failed.");
  EXPECT_EQ(plugin->runtimeState(), RuntimeState::idle);
  EXPECT_TRUE(exists(file("000000-mic.m4a")));
  EXPECT_TRUE(exists(file("000000-app.m4a")));
}

TEST_F(AppModeTest, PauseOrStopDuringAPendingMixdownWaitsForTheSealAndStartsNoSegment) {
  expectSuccess(startApp());
  audio->holdCompose = true;
  scheduler.advance(seconds(30));
  ASSERT_TRUE(audio->heldCompose);
  auto pause = invokeAndRun("pauseRecording");
  EXPECT_FALSE(pause->answered());
  audio->heldCompose();
  scheduler.runPending();
  expectSuccess(pause);
  EXPECT_EQ(messenger.eventTypes(), (std::vector<std::string>{"segment_sealed"}));
  EXPECT_EQ(num(messenger.events.back(), "index"), 0);
  EXPECT_EQ(plugin->runtimeState(), RuntimeState::paused);
  EXPECT_FALSE(exists(file("000001-mic.m4a")));
  EXPECT_EQ(scheduler.activeTimerCount(), 0u);

  // Resume records 000001; a stop during its mixdown reports it with its own index and mode
  // before "stopped".
  expectSuccess(invokeAndRun("resumeRecording"));
  scheduler.advance(seconds(30));
  auto stop = invokeAndRun("stopRecording");
  EXPECT_FALSE(stop->answered());
  audio->heldCompose();
  scheduler.runPending();
  expectSuccess(stop);
  EXPECT_EQ(messenger.eventTypes(),
            (std::vector<std::string>{"segment_sealed", "segment_sealed", "stopped"}));
  auto sealed = messenger.eventsOfType("segment_sealed");
  EXPECT_EQ(num(sealed[1], "index"), 1);
  EXPECT_EQ(num(sealed[1], "channelCount"), 2);
  EXPECT_FALSE(exists(file("000001-mic.m4a")));
  EXPECT_FALSE(exists(file("000002-mic.m4a")));
  EXPECT_EQ(plugin->runtimeState(), RuntimeState::idle);
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

TEST_F(AppModeTest, EndingAnApplicationSessionFinishesItsCaptureAndKeepsUnsealedSources) {
  expectSuccess(startApp());
  audio->hashFails.insert(file("000000.m4a"));
  expectError(invokeAndRun("stopRecording"), "stop_failed", "Failed to stop recording.", "*");
  // The stop finished the capture before the seal failed; the unsealed sources stay, and the
  // next session in the folder goes around them.
  EXPECT_TRUE(app->captures[0]->stopped);
  EXPECT_TRUE(exists(file("000000-mic.m4a")));
  EXPECT_TRUE(exists(file("000000-app.m4a")));

  // Starting over a running application session finishes its capture and mixes it first.
  audio->hashFails.clear();
  expectSuccess(startApp());
  ASSERT_EQ(app->captures.size(), 2u);
  EXPECT_EQ(app->captures[1]->path, file("000001-app.m4a"));
  messenger.events.clear();
  expectSuccess(start("next"));
  EXPECT_EQ(messenger.eventTypes(), (std::vector<std::string>{"segment_sealed", "stopped"}));
  EXPECT_TRUE(app->captures[1]->stopped);
  EXPECT_FALSE(app->captures[1]->cancelled);
  EXPECT_EQ(audio->composeCalls.size(), 2u);
  EXPECT_EQ(audio->settingsUsed.back().channels, 1);
}

}  // namespace
}  // namespace lumewell::recorder::testing
