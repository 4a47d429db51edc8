#include "recorder/recorder_fakes.h"

namespace lumewell::recorder::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

TEST_F(RecorderTest, MicOnlySegmentRotatesAtExactlyThirtySecondsAndReportsItsRecord) {
  expectSuccess(start());
  ASSERT_EQ(audio->settingsUsed.size(), 1u);
  EXPECT_EQ(audio->settingsUsed[0].channels, 1);
  EXPECT_EQ(audio->settingsUsed[0].bitRate, 128000);
  EXPECT_EQ(audio->settingsUsed[0].sampleRate, 48000);

  scheduler.advance(milliseconds(29999));
  EXPECT_TRUE(messenger.eventsOfType("segment_sealed").empty());
  scheduler.advance(milliseconds(1));
  auto sealed = messenger.eventsOfType("segment_sealed");
  ASSERT_EQ(sealed.size(), 1u);
  const Value& record = sealed[0];
  EXPECT_EQ(record.asMap()->size(), 11u);
  EXPECT_EQ(num(record, "index"), 0);
  EXPECT_EQ(str(record, "path"), file("000000.m4a"));
  EXPECT_EQ(num(record, "durationMs"), 30000);
  EXPECT_EQ(num(record, "byteLength"), static_cast<int64_t>(readFile(file("000000.m4a")).size()));
  EXPECT_EQ(str(record, "sha256"), *audio->sha256Hex(file("000000.m4a")));
  EXPECT_EQ(str(record, "codec"), "aac-lc");
  EXPECT_EQ(num(record, "sampleRate"), 48000);
  EXPECT_EQ(num(record, "channelCount"), 1);
  EXPECT_EQ(str(record, "startedAt"), "2025-01-01T00:00:00.000Z");
  EXPECT_EQ(str(record, "sealedAt"), "2025-01-01T00:00:30.000Z");

  // The next segment runs at once and rotates 30 s later.
  EXPECT_EQ(audio->log, (std::vector<std::string>{"record 000000.m4a", "stop 000000.m4a",
                                                  "record 000001.m4a"}));
  EXPECT_EQ(plugin->runtimeState(), RuntimeState::recording);
  scheduler.advance(seconds(30));
  sealed = messenger.eventsOfType("segment_sealed");
  ASSERT_EQ(sealed.size(), 2u);
  EXPECT_EQ(num(sealed[1], "index"), 1);
  EXPECT_EQ(str(sealed[1], "path"), file("000001.m4a"));
  EXPECT_EQ(str(sealed[1], "startedAt"), "2025-01-01T00:00:30.000Z");
  // No file of the microphone-only mode is removed.
  EXPECT_TRUE(exists(file("000000.m4a")));
  EXPECT_TRUE(exists(file("000001.m4a")));
}

TEST_F(RecorderTest, ShorterSegmentDurationForBenchmarksRotatesAtThatLength) {
  plugin->setSegmentDuration(0.5);
  expectSuccess(start());
  scheduler.advance(milliseconds(499));
  EXPECT_TRUE(messenger.eventsOfType("segment_sealed").empty());
  scheduler.advance(milliseconds(1));
  EXPECT_EQ(messenger.eventsOfType("segment_sealed").size(), 1u);
}

TEST_F(RecorderTest, PauseSealsResumeTakesTheNextIndexStopSealsTheLast) {
  expectSuccess(start());
  scheduler.advance(seconds(10));
  audio->durations[file("000000.m4a")] = 10250;
  scheduler.advance(milliseconds(250));
  auto pause = invokeAndRun("pauseRecording");
  expectSuccess(pause);
  EXPECT_EQ(plugin->runtimeState(), RuntimeState::paused);
  EXPECT_EQ(scheduler.activeTimerCount(), 0u);
  auto sealed = messenger.eventsOfType("segment_sealed");
  ASSERT_EQ(sealed.size(), 1u);
  EXPECT_EQ(num(sealed[0], "durationMs"), 10250);

  // Paused: no timer, no rotation, no levels; a second pause changes nothing.
  messenger.events.clear();
  scheduler.advance(seconds(60));
  expectSuccess(invokeAndRun("pauseRecording"));
  EXPECT_TRUE(messenger.events.empty());

  expectSuccess(invokeAndRun("resumeRecording"));
  EXPECT_EQ(plugin->runtimeState(), RuntimeState::recording);
  EXPECT_TRUE(exists(file("000001.m4a")));
  expectSuccess(invokeAndRun("resumeRecording"));  // not paused: nothing happens
  scheduler.advance(seconds(5));
  messenger.events.clear();
  expectSuccess(invokeAndRun("stopRecording"));
  EXPECT_EQ(messenger.eventTypes(), (std::vector<std::string>{"segment_sealed", "stopped"}));
  EXPECT_EQ(num(messenger.events[0], "index"), 1);
  EXPECT_EQ(plugin->runtimeState(), RuntimeState::idle);
  EXPECT_EQ(plugin->nextSegmentIndex(), 0);
  EXPECT_FALSE(plugin->recordingDirectory().has_value());
  EXPECT_EQ(scheduler.activeTimerCount(), 0u);
}

TEST_F(RecorderTest, IdleAndPausedCallsAnswerAtOnce) {
  expectSuccess(invokeAndRun("pauseRecording"));
  expectSuccess(invokeAndRun("resumeRecording"));
  EXPECT_TRUE(messenger.events.empty());
  expectSuccess(invokeAndRun("stopRecording"));
  EXPECT_EQ(messenger.eventTypes(), (std::vector<std::string>{"stopped"}));

  // Stopping a paused session seals nothing more.
  expectSuccess(start());
  expectSuccess(invokeAndRun("pauseRecording"));
  messenger.events.clear();
  expectSuccess(invokeAndRun("stopRecording"));
  EXPECT_EQ(messenger.eventTypes(), (std::vector<std::string>{"stopped"}));
  EXPECT_EQ(plugin->runtimeState(), RuntimeState::idle);
}

TEST_F(RecorderTest, StartingOverAnOpenSessionEndsItFirstAndKeepsEveryFile) {
  expectSuccess(start("a"));
  scheduler.advance(seconds(5));
  expectSuccess(start("b"));
  EXPECT_EQ(messenger.eventTypes(), (std::vector<std::string>{"segment_sealed", "stopped"}));
  EXPECT_EQ(str(messenger.eventsOfType("segment_sealed")[0], "path"), file("000000.m4a", "a"));
  EXPECT_TRUE(exists(file("000000.m4a", "b")));
  EXPECT_TRUE(exists(file("000000.m4a", "a")));

  // The same id again: the sealed segment stays as it was, the new one takes the next index.
  const std::string sealedBefore = readFile(file("000000.m4a", "b"));
  messenger.events.clear();
  expectSuccess(invokeAndRun("pauseRecording"));
  expectSuccess(start("b"));
  EXPECT_EQ(messenger.eventTypes(), (std::vector<std::string>{"segment_sealed", "stopped"}));
  EXPECT_EQ(readFile(file("000000.m4a", "b")), sealedBefore);
  EXPECT_TRUE(exists(file("000001.m4a", "b")));
  scheduler.advance(seconds(30));
  auto sealed = messenger.eventsOfType("segment_sealed");
  ASSERT_EQ(sealed.size(), 2u);
  EXPECT_EQ(num(sealed[1], "index"), 1);
  EXPECT_EQ(str(sealed[1], "path"), file("000001.m4a", "b"));
  EXPECT_EQ(readFile(file("000000.m4a", "b")), sealedBefore);
}

TEST_F(RecorderTest, StartResumeAndStopFailuresAnswerTheirTriples) {
  audio->makeRecorderError = Error{"posix", 13, "Cannot open /x: Permission denied"};
  expectError(start(), "start_failed", "Failed to start recording.",
              "Cannot open /x: Permission denied");
  EXPECT_EQ(plugin->runtimeState(), RuntimeState::idle);
  EXPECT_TRUE(exists(folder()));  // the folder stays
  audio->makeRecorderError.reset();
  audio->recordFails = true;
  expectError(start(), "start_failed", "Failed to start recording.",
              "AVAudioRecorder failed to enter the recording state.");
  audio->recordFails = false;

  // The data folder cannot hold a recordings folder.
  audio->dataDir = dir.path() + "/plainfile";
  writeFile(audio->dataDir, "x");
  expectError(start(), "start_failed", "Failed to start recording.", "*");
  audio->dataDir = "";
  expectError(start(), "start_failed", "Failed to start recording.",
              "No data folder is available for recordings.");
  EXPECT_EQ(plugin->runtimeState(), RuntimeState::idle);
  audio->dataDir = dir.path() + "/data";

  // A failed resume stays paused and may be tried again.
  expectSuccess(start());
  expectSuccess(invokeAndRun("pauseRecording"));
  audio->recordFails = true;
  expectError(invokeAndRun("resumeRecording"), "resume_failed", "Failed to resume recording.",
              "AVAudioRecorder failed to enter the recording state.");
  EXPECT_EQ(plugin->runtimeState(), RuntimeState::paused);
  audio->recordFails = false;
  expectSuccess(invokeAndRun("resumeRecording"));
  EXPECT_EQ(plugin->runtimeState(), RuntimeState::recording);

  // A stop whose seal fails answers stop_failed without "stopped" and still ends the session.
  messenger.events.clear();
  audio->hashFails.insert(file("000001.m4a"));
  expectError(invokeAndRun("stopRecording"), "stop_failed", "Failed to stop recording.",
              "Cannot read " + file("000001.m4a") + ": Input/output error");
  EXPECT_TRUE(messenger.events.empty());
  EXPECT_EQ(plugin->runtimeState(), RuntimeState::idle);
  EXPECT_TRUE(exists(file("000001.m4a")));
}

TEST_F(RecorderTest, AFailedPauseKeepsTheUnsealedFileAndLaterSegmentsGoAroundIt) {
  expectSuccess(start());
  scheduler.advance(seconds(3));
  audio->hashFails.insert(file("000000.m4a"));
  expectError(invokeAndRun("pauseRecording"), "pause_failed", "Failed to pause recording.", "*");
  EXPECT_EQ(plugin->runtimeState(), RuntimeState::recording);
  EXPECT_TRUE(messenger.eventsOfType("segment_sealed").empty());

  // Nothing records now; a second pause gives paused, and the resumed segment does not
  // overwrite the unsealed file.
  expectSuccess(invokeAndRun("pauseRecording"));
  EXPECT_EQ(plugin->runtimeState(), RuntimeState::paused);
  const std::string unsealed = readFile(file("000000.m4a"));
  expectSuccess(invokeAndRun("resumeRecording"));
  EXPECT_EQ(readFile(file("000000.m4a")), unsealed);
  EXPECT_TRUE(exists(file("000001.m4a")));
}

TEST_F(RecorderTest, RotationFailureSendsErrorThenIdlesAndKeepsTheFiles) {
  expectSuccess(start());
  audio->hashFails.insert(file("000000.m4a"));
  scheduler.advance(seconds(30));
  EXPECT_TRUE(messenger.eventsOfType("segment_sealed").empty());
  auto errors = messenger.eventsOfType("error");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].asMap()->size(), 2u);
  EXPECT_EQ(str(errors[0], "message"), "Failed to rotate recording segment: Cannot read " +
                                           file("000000.m4a") + ": Input/output error");
  EXPECT_EQ(plugin->runtimeState(), RuntimeState::idle);
  EXPECT_EQ(scheduler.activeTimerCount(), 0u);
  EXPECT_TRUE(exists(file("000000.m4a")));
  // Resume after the failure finds an idle session: no value, nothing recorded.
  expectSuccess(invokeAndRun("resumeRecording"));
  EXPECT_EQ(audio->log.size(), 2u);

  // The next recorder fails to start: the sealed segment was reported before the error.
  messenger.events.clear();
  expectSuccess(start("other"));
  audio->recordFails = true;
  scheduler.advance(seconds(30));
  EXPECT_EQ(messenger.eventTypes(), (std::vector<std::string>{"segment_sealed", "error"}));
  EXPECT_EQ(str(messenger.eventsOfType("error")[0], "message"),
            "Failed to rotate recording segment: AVAudioRecorder failed to enter the recording "
            "state.");
  EXPECT_EQ(plugin->runtimeState(), RuntimeState::idle);
}

TEST_F(RecorderTest, WithoutAListenerRecordsAreDroppedButTheIndexMovesAndFailuresStillReset) {
  messenger.cancel();
  expectSuccess(start());
  scheduler.advance(seconds(60));
  EXPECT_TRUE(messenger.events.empty());
  EXPECT_EQ(plugin->nextSegmentIndex(), 2);
  EXPECT_TRUE(exists(file("000002.m4a")));
  messenger.listen();
  EXPECT_TRUE(messenger.events.empty());
  messenger.cancel();
  audio->hashFails.insert(file("000002.m4a"));
  scheduler.advance(seconds(30));
  EXPECT_EQ(plugin->runtimeState(), RuntimeState::idle);
  EXPECT_TRUE(messenger.events.empty());
}

}  // namespace
}  // namespace lumewell::recorder::testing
