#include <cmath>

#include "recorder/recorder_fakes.h"

namespace lumewell::recorder::testing {
namespace {

using namespace std::chrono_literals;

TEST_F(RecorderTest, MicOnlySegmentRotatesAtExactlyThirtySecondsAndReportsItsRecord) {
  expectSuccess(start());
  scheduler.advance(29999ms);
  EXPECT_TRUE(eventLog().empty());
  scheduler.advance(1ms);
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
  EXPECT_EQ(audio->log, (Log{"record 000000.m4a", "stop 000000.m4a", "record 000001.m4a"}));
  EXPECT_EQ(state(), "recording, 2 timers");
}

TEST_F(RecorderTest, PauseSealsResumeTakesTheNextIndexStopAndStartingOverSealTheLast) {
  ok({"pauseRecording", "resumeRecording", "stopRecording"});
  EXPECT_EQ(eventLog(), Log{"stopped"});
  events.clear();
  expectSuccess(start());
  scheduler.advance(10s);
  audio->durations[file("000000.m4a")] = 10250;
  scheduler.advance(250ms);
  ok({"pauseRecording"});
  EXPECT_EQ(state(), "paused, 0 timers");
  EXPECT_EQ(num(eventsOfType("segment_sealed").at(0), "durationMs"), 10250);
  // Paused: no rotation, no levels; a resume when not paused does nothing.
  events.clear();
  scheduler.advance(60s);
  EXPECT_TRUE(events.empty());
  ok({"resumeRecording", "resumeRecording"});
  EXPECT_EQ(state(), "recording, 2 timers");
  scheduler.advance(5s);
  events.clear();
  ok({"stopRecording"});
  EXPECT_EQ(eventLog(), (Log{"sealed 1 rec-1/000001.m4a 00:01:10.250Z", "stopped"}));
  EXPECT_EQ(state(), "idle, 0 timers");

  // Starting over an open session ends it first, as a stop would, and keeps every file; over a
  // paused one it seals nothing more.
  events.clear();
  expectSuccess(start("a"));
  scheduler.advance(5s);
  expectSuccess(start("b"));
  EXPECT_EQ(eventLog(), (Log{"sealed 0 a/000000.m4a 00:01:15.250Z", "stopped"}));
  events.clear();
  ok({"pauseRecording"});
  expectSuccess(start("b"));  // the same id: the new segment takes the next index
  scheduler.advance(30s);
  EXPECT_EQ(eventLog(), (Log{"sealed 0 b/000000.m4a 00:01:20.250Z", "stopped",
                             "sealed 1 b/000001.m4a 00:01:20.250Z"}));
  EXPECT_TRUE(exists(file("000000.m4a", "a")));
}

TEST_F(RecorderTest, StartResumeStopAndPauseFailuresAnswerTheirTriplesAndKeepTheirFiles) {
  const std::string notRecording = "AVAudioRecorder failed to enter the recording state.";
  const auto startFails = [&](const std::string& details) {
    expectError(start(), "start_failed", "Failed to start recording.", details);
    EXPECT_EQ(state(), "idle, 0 timers");
  };
  audio->makeRecorderError = Error{"posix", 13, "Cannot open /x: Permission denied"};
  startFails("Cannot open /x: Permission denied");
  audio->makeRecorderError.reset();
  audio->recordFails = true;
  startFails(notRecording);
  audio->recordFails = false;
  audio->dataDir = "";
  startFails("No data folder is available for recordings.");
  audio->dataDir = dir.path() + "/data";

  // A failed pause has still ended its segment: paused, nothing running, its unsealed file
  // kept; a resume records again and its segment goes around that file.
  expectSuccess(start());
  audio->hashFails.insert(file("000000.m4a"));
  expectError(invokeAndRun("pauseRecording"), "pause_failed", "Failed to pause recording.", "*");
  EXPECT_EQ(state(), "paused, 0 timers");
  audio->recordFails = true;
  expectError(invokeAndRun("resumeRecording"), "resume_failed", "Failed to resume recording.",
              notRecording);
  EXPECT_EQ(state(), "paused, 0 timers");
  audio->recordFails = false;
  ok({"resumeRecording"});

  // A stop whose seal fails answers stop_failed without "stopped" and still ends the session;
  // the file it names shows that the resumed segment went around the unsealed one.
  audio->hashFails.insert(file("000001.m4a"));
  expectError(invokeAndRun("stopRecording"), "stop_failed", "Failed to stop recording.",
              "Cannot read " + file("000001.m4a") + ": Input/output error");
  EXPECT_TRUE(eventLog().empty());
  EXPECT_EQ(state(), "idle, 0 timers");
  EXPECT_TRUE(exists(file("000001.m4a")));
}

TEST_F(RecorderTest, EventsGoOnlyToTheCurrentListenerAndLevelsStayInZeroToOne) {
  listen(false);  // without a listener records are dropped, but the index moves on
  expectSuccess(start());
  scheduler.advance(60s);
  listen();
  EXPECT_TRUE(events.empty());
  EXPECT_TRUE(exists(file("000002.m4a")));
  // -160 dB is the floor, also for what is no number; never above 1.
  const std::pair<float, double> cases[] = {
      {-20.0f, 0.1}, {0.0f, 1.0}, {6.0f, 1.0}, {-160.0f, 1e-8}, {-INFINITY, 1e-8}, {NAN, 1e-8},
  };
  for (const auto& [power, level] : cases) {
    events.clear();
    audio->power = power;
    scheduler.advance(250ms);
    auto levels = eventsOfType("level_changed");
    ASSERT_TRUE(levels.size() == 1 && levels[0].asMap()->size() == 2) << levels.size();
    EXPECT_NEAR(levels[0].asMap()->find("level")->get<double>(), level, level * 1e-5) << power;
  }
}

// A running session that fails ends with one error, once, and keeps its files.
class FailureTest : public RecorderTest {
 protected:
  FailureTest() { expectSuccess(start()); }
  void expectEnded(Duration until, const Log& reported,
                   const Log& microphone = {"record 000000.m4a", "stop 000000.m4a"}) {
    scheduler.advance(until);
    EXPECT_EQ(eventLog(), reported);
    EXPECT_EQ(state(), "idle, 0 timers");
    EXPECT_TRUE(exists(file("000000.m4a")) && !exists(file("000001.m4a")));
    scheduler.advance(30s);  // reported once, no rotation after it
    EXPECT_EQ(eventLog(), reported);
    EXPECT_EQ(audio->log, microphone);
  }
  const std::string rotateFailed = "error Failed to rotate recording segment: ";
  const std::string sealed = "sealed 0 rec-1/000000.m4a 00:00:00.000Z";
};

TEST_F(FailureTest, ASealAfterAHandoverWhoseFileGoesUnreported) {
  audio->offerHandover = true;
  audio->hashFails.insert(file("000000.m4a"));
  expectEnded(30s, {rotateFailed + "Cannot read rec-1/000000.m4a: Input/output error"},
              {"record 000000.m4a", "handover 000000.m4a -> 000001.m4a", "stop 000000.m4a",
               "stop 000001.m4a"});
}

TEST_F(FailureTest, TheNextRecorderAfterTheSealedSegment) {
  audio->recordFails = true;
  expectEnded(30s, {sealed, rotateFailed + "AVAudioRecorder failed to enter the recording state."});
}

TEST_F(FailureTest, FreeSpaceBelowTheFloorAfterTheSealedSegment) {
  audio->freeBytes = LumewellNativeRecorderPlugin::kLowDiskStopFloorBytes;
  scheduler.advance(5s);
  audio->freeBytes.reset();  // unknown is no reason to stop
  scheduler.advance(5s);
  audio->freeBytes = LumewellNativeRecorderPlugin::kLowDiskStopFloorBytes - 1;
  expectEnded(2s, {sealed, rotateFailed + "The disk holding rec-1 has only 33554431 " +
                               "bytes free, below the 33554432 needed to go on recording."});
}

// The recorder's own failure (a lost server: the integration test's), here a write error that
// leaves a file that does not play, kept for a later recovery.
TEST_F(FailureTest, ARecorderFailureWhoseSegmentCannotBeSealed) {
  scheduler.advance(10s);
  audio->durations[file("000000.m4a")] = std::nullopt;
  audio->recorderFailure = Error{"FFmpeg", -28, "Cannot write x: No space left on device"};
  expectEnded(250ms, {rotateFailed + "Cannot write x: No space left on device; the " +
                      "segment in progress could not be sealed: The file " +
                      "rec-1/000000.m4a does not play."});
}

TEST_F(RecorderTest, RotationHandsTheCaptureOverWhenOfferedAndPauseAndStopStillStopFirst) {
  audio->offerHandover = true;
  expectSuccess(start());
  scheduler.advance(30s);
  EXPECT_EQ(audio->log,
            (Log{"record 000000.m4a", "handover 000000.m4a -> 000001.m4a", "stop 000000.m4a"}));
  // A file that appeared in the folder meanwhile is not written over: the handover skips it.
  writeFile(file("000002.m4a"), "stale");
  scheduler.advance(30s);
  EXPECT_EQ(eventLog().back(), "sealed 1 rec-1/000001.m4a 00:00:30.000Z");
  EXPECT_EQ(readFile(file("000002.m4a")), "stale");
  audio->log.clear();
  ok({"pauseRecording", "resumeRecording", "stopRecording"});
  EXPECT_EQ(audio->log, (Log{"stop 000003.m4a", "record 000004.m4a", "stop 000004.m4a"}));

  // A failed handover's partial file goes; the rotation stops, then records at that index.
  audio->log.clear();
  audio->handoverFails = true;
  expectSuccess(start("h"));
  scheduler.advance(30s);
  EXPECT_EQ(audio->log, (Log{"record 000000.m4a", "stop 000000.m4a", "record 000001.m4a"}));
  EXPECT_EQ(readFile(file("000001.m4a", "h")).rfind("audio ", 0), 0u) << "the partial file went";
}

TEST_F(RecorderTest, UnknownMethodsAndBadStartArgumentsAreRefusedInOrderChangingNothing) {
  for (const char* name : {"foo", "startrecording", "stopRecording "}) {
    auto call = invokeAndRun(name, Value(ValueMap{{"recordingId", "x"}}));
    EXPECT_TRUE(call->answered() && call->reply.empty()) << name << " is not implemented";
  }
  audio->micStatus = kMicDenied;  // the arguments come before the permission
  expectError(invokeAndRun("startRecording"), "bad_args", "Missing start recording arguments.");
  expectError(invokeAndRun("startRecording", Value(ValueMap{{"recordingId", int32_t{7}}})),
              "bad_args", "Missing recordingId.");
  // An id that would leave or break the recordings folder.
  for (const std::string& id : std::initializer_list<std::string>{
           "", ".", "..", "../x", "a/b", "/abs", std::string("a\0b", 3), std::string(256, 'x')}) {
    expectError(start(id), "bad_args", "Invalid recordingId.");
  }
  for (int status : {kMicNotDetermined, kMicRestricted, kMicDenied, 9}) {
    audio->micStatus = status;  // the permission comes before the missing source
    expectError(start("rec", "MIC_PLUS_APP_AUDIO", ""), "permission_denied",
                "Microphone access is required before recording can start.");
  }
  audio->micStatus = kMicAuthorized;
  for (const Value& source : {Value(), Value(""), Value(int32_t{4711})}) {
    ValueMap args{{"recordingId", "rec"}, {"captureMode", "MIC_PLUS_APP_AUDIO"}};
    if (!source.isNull()) args.set("sourceId", source);
    expectError(invokeAndRun("startRecording", Value(args)), "bad_args",
                "Missing desktop app audio source.");
  }
  EXPECT_TRUE(events.empty() && audio->settingsUsed.empty());
  EXPECT_FALSE(exists(dir.path() + "/data"));
  // A 255-byte id is a valid file name; the mode in lower case is the microphone alone.
  expectSuccess(start(std::string(255, 'x'), "mic_plus_app_audio"));
  EXPECT_TRUE(exists(file("000000.m4a", std::string(255, 'x'))));
  EXPECT_TRUE(app->captures.empty());
}

}  // namespace
}  // namespace lumewell::recorder::testing
