#include <cmath>

#include "recorder/recorder_fakes.h"

namespace lumewell::recorder::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

TEST_F(RecorderTest, MicOnlySegmentRotatesAtExactlyThirtySecondsAndReportsItsRecord) {
  expectSuccess(start());
  ASSERT_EQ(audio->settingsUsed.size(), 1u);
  const RecorderSettings& s = audio->settingsUsed[0];
  EXPECT_EQ(std::tuple(s.channels, s.bitRate, s.sampleRate), std::tuple(1, 128000, 48000));

  scheduler.advance(milliseconds(29999));
  EXPECT_TRUE(eventLog().empty());
  scheduler.advance(milliseconds(1));
  const std::string path = file("000000.m4a");
  EXPECT_EQ(eventsOfType("segment_sealed"),
            ValueList{Value(ValueMap{{"type", "segment_sealed"},
                                     {"index", int32_t{0}},
                                     {"path", path},
                                     {"durationMs", int32_t{30000}},
                                     {"byteLength", Value::integer(readFile(path).size())},
                                     {"sha256", *audio->sha256Hex(path)},
                                     {"codec", "aac-lc"},
                                     {"sampleRate", int32_t{48000}},
                                     {"channelCount", int32_t{1}},
                                     {"sealedAt", "2025-01-01T00:00:30.000Z"},
                                     {"startedAt", "2025-01-01T00:00:00.000Z"}})});

  // The next segment runs at once and rotates 30 s later; no file of this mode is removed.
  EXPECT_EQ(audio->log, (Log{"record 000000.m4a", "stop 000000.m4a", "record 000001.m4a"}));
  EXPECT_EQ(state(), "recording, 2 timers");
  scheduler.advance(seconds(30));
  EXPECT_EQ(eventLog(), (Log{"sealed 0 rec-1/000000.m4a 00:00:00.000Z",
                             "sealed 1 rec-1/000001.m4a 00:00:30.000Z"}));
  EXPECT_TRUE(exists(file("000000.m4a")) && exists(file("000001.m4a")));

  // A shorter segment length (for benchmarks) rotates at that length.
  plugin->setSegmentDuration(0.5);
  expectSuccess(start("short"));
  events.clear();
  scheduler.advance(milliseconds(499));
  EXPECT_TRUE(eventLog().empty());
  scheduler.advance(milliseconds(1));
  EXPECT_EQ(eventLog(), Log{"sealed 0 short/000000.m4a 00:01:00.000Z"});
}

TEST_F(RecorderTest, PauseSealsResumeTakesTheNextIndexStopSealsTheLastAndIdleCallsAnswerAtOnce) {
  for (const char* method : {"pauseRecording", "resumeRecording", "stopRecording"}) {
    expectSuccess(invokeAndRun(method));
  }
  EXPECT_EQ(eventLog(), Log{"stopped"});
  events.clear();

  expectSuccess(start());
  scheduler.advance(seconds(10));
  audio->durations[file("000000.m4a")] = 10250;
  scheduler.advance(milliseconds(250));
  expectSuccess(invokeAndRun("pauseRecording"));
  EXPECT_EQ(state(), "paused, 0 timers");
  EXPECT_EQ(num(eventsOfType("segment_sealed").at(0), "durationMs"), 10250);

  // Paused: no timer, no rotation, no levels; a second pause changes nothing.
  events.clear();
  scheduler.advance(seconds(60));
  expectSuccess(invokeAndRun("pauseRecording"));
  EXPECT_TRUE(events.empty());

  expectSuccess(invokeAndRun("resumeRecording"));
  EXPECT_EQ(state(), "recording, 2 timers");
  expectSuccess(invokeAndRun("resumeRecording"));  // not paused: nothing happens
  scheduler.advance(seconds(5));
  events.clear();
  expectSuccess(invokeAndRun("stopRecording"));
  EXPECT_EQ(eventLog(), (Log{"sealed 1 rec-1/000001.m4a 00:01:10.250Z", "stopped"}));
  EXPECT_EQ(state(), "idle, 0 timers");
  EXPECT_EQ(plugin->nextSegmentIndex(), 0);
  EXPECT_FALSE(plugin->recordingDirectory().has_value());

  // Stopping a paused session seals nothing more.
  expectSuccess(start());
  expectSuccess(invokeAndRun("pauseRecording"));
  events.clear();
  expectSuccess(invokeAndRun("stopRecording"));
  EXPECT_EQ(eventLog(), Log{"stopped"});
  EXPECT_EQ(state(), "idle, 0 timers");
}

TEST_F(RecorderTest, StartingOverAnOpenSessionEndsItFirstAndKeepsEveryFile) {
  expectSuccess(start("a"));
  scheduler.advance(seconds(5));
  expectSuccess(start("b"));
  EXPECT_EQ(eventLog(), (Log{"sealed 0 a/000000.m4a 00:00:00.000Z", "stopped"}));
  EXPECT_TRUE(exists(file("000000.m4a", "a")) && exists(file("000000.m4a", "b")));

  // The same id again: the sealed segment stays as it was, the new one takes the next index.
  const std::string sealedBefore = readFile(file("000000.m4a", "b"));
  events.clear();
  expectSuccess(invokeAndRun("pauseRecording"));
  expectSuccess(start("b"));
  scheduler.advance(seconds(30));
  EXPECT_EQ(eventLog(), (Log{"sealed 0 b/000000.m4a 00:00:05.000Z", "stopped",
                             "sealed 1 b/000001.m4a 00:00:05.000Z"}));
  EXPECT_EQ(readFile(file("000000.m4a", "b")), sealedBefore);
}

TEST_F(RecorderTest, StartResumeAndStopFailuresAnswerTheirTriples) {
  const auto startFails = [&](const std::string& details) {
    expectError(start(), "start_failed", "Failed to start recording.", details);
    EXPECT_EQ(state(), "idle, 0 timers");
  };
  const std::string notRecording = "AVAudioRecorder failed to enter the recording state.";
  audio->makeRecorderError = Error{"posix", 13, "Cannot open /x: Permission denied"};
  startFails("Cannot open /x: Permission denied");
  EXPECT_TRUE(exists(folder()));  // the folder stays
  audio->makeRecorderError.reset();
  audio->recordFails = true;
  startFails(notRecording);
  audio->recordFails = false;
  // The data folder cannot hold a recordings folder, or there is none.
  writeFile(audio->dataDir = dir.path() + "/plainfile", "x");
  startFails("*");
  audio->dataDir = "";
  startFails("No data folder is available for recordings.");
  audio->dataDir = dir.path() + "/data";

  // A failed resume stays paused and may be tried again.
  expectSuccess(start());
  expectSuccess(invokeAndRun("pauseRecording"));
  audio->recordFails = true;
  expectError(invokeAndRun("resumeRecording"), "resume_failed", "Failed to resume recording.",
              notRecording);
  EXPECT_EQ(state(), "paused, 0 timers");
  audio->recordFails = false;
  expectSuccess(invokeAndRun("resumeRecording"));
  EXPECT_EQ(state(), "recording, 2 timers");

  // A stop whose seal fails answers stop_failed without "stopped" and still ends the session.
  events.clear();
  audio->hashFails.insert(file("000001.m4a"));
  expectError(invokeAndRun("stopRecording"), "stop_failed", "Failed to stop recording.",
              "Cannot read " + file("000001.m4a") + ": Input/output error");
  EXPECT_TRUE(events.empty());
  EXPECT_EQ(state(), "idle, 0 timers");
  EXPECT_TRUE(exists(file("000001.m4a")));
}

TEST_F(RecorderTest, AFailedPauseKeepsTheUnsealedFileAndLaterSegmentsGoAroundIt) {
  expectSuccess(start());
  scheduler.advance(seconds(3));
  audio->hashFails.insert(file("000000.m4a"));
  expectError(invokeAndRun("pauseRecording"), "pause_failed", "Failed to pause recording.", "*");
  EXPECT_EQ(plugin->runtimeState(), RuntimeState::recording);
  EXPECT_TRUE(eventLog().empty());

  // Nothing records now; the resumed segment does not overwrite the unsealed file.
  expectSuccess(invokeAndRun("pauseRecording"));
  EXPECT_EQ(state(), "paused, 0 timers");
  const std::string unsealed = readFile(file("000000.m4a"));
  expectSuccess(invokeAndRun("resumeRecording"));
  EXPECT_EQ(readFile(file("000000.m4a")), unsealed);
  EXPECT_TRUE(exists(file("000001.m4a")));
}

TEST_F(RecorderTest, EventsGoOnlyToTheCurrentListenerAndLevelsStayInZeroToOne) {
  // Without a listener records are dropped, but the index moves on.
  listen(false);
  expectSuccess(start());
  scheduler.advance(seconds(60));
  EXPECT_TRUE(events.empty());
  EXPECT_EQ(plugin->nextSegmentIndex(), 2);
  EXPECT_TRUE(exists(file("000002.m4a")));

  // After a new listen the levels come again.
  listen();
  EXPECT_TRUE(events.empty());
  scheduler.advance(seconds(1));
  auto levels = eventsOfType("level_changed");
  ASSERT_EQ(levels.size(), 4u);
  EXPECT_EQ(levels[0].asMap()->size(), 2u);
  EXPECT_NEAR(levels[0].asMap()->find("level")->get<double>(), 0.1, 1e-6);  // -20 dB
  // The level is above zero and at most one, whatever the meter says.
  for (float power : {0.0f, 6.0f, -160.0f, -INFINITY, NAN}) {
    events.clear();
    audio->power = power;
    scheduler.advance(milliseconds(250));
    auto levels = eventsOfType("level_changed");
    ASSERT_EQ(levels.size(), 1u);
    double level = levels[0].asMap()->find("level")->get<double>();
    EXPECT_TRUE(level > 0.0 && level <= 1.0 && (!(power >= 0) || level == 1.0)) << power;
  }

  // A failure without a listener still resets the session.
  events.clear();
  listen(false);
  audio->hashFails.insert(file("000002.m4a"));
  scheduler.advance(seconds(30));
  EXPECT_EQ(state(), "idle, 0 timers");
  EXPECT_TRUE(events.empty());
}

}  // namespace
}  // namespace lumewell::recorder::testing
