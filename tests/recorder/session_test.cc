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
}

TEST_F(RecorderTest, PauseSealsResumeTakesTheNextIndexStopSealsTheLastAndIdleCallsAnswerAtOnce) {
  ok({"pauseRecording", "resumeRecording", "stopRecording"});
  EXPECT_EQ(eventLog(), Log{"stopped"});
  events.clear();
  expectSuccess(start());
  scheduler.advance(seconds(10));
  audio->durations[file("000000.m4a")] = 10250;
  scheduler.advance(milliseconds(250));
  ok({"pauseRecording"});
  EXPECT_EQ(state(), "paused, 0 timers");
  EXPECT_EQ(num(eventsOfType("segment_sealed").at(0), "durationMs"), 10250);

  // Paused: no rotation, no levels; a second pause, or a resume when not paused, does nothing.
  events.clear();
  scheduler.advance(seconds(60));
  ok({"pauseRecording"});
  EXPECT_TRUE(events.empty());
  ok({"resumeRecording", "resumeRecording"});
  EXPECT_EQ(state(), "recording, 2 timers");
  scheduler.advance(seconds(5));
  events.clear();
  ok({"stopRecording"});
  EXPECT_EQ(eventLog(), (Log{"sealed 1 rec-1/000001.m4a 00:01:10.250Z", "stopped"}));
  EXPECT_EQ(state(), "idle, 0 timers");

  // Stopping a paused session seals nothing more.
  expectSuccess(start());
  ok({"pauseRecording"});
  events.clear();
  ok({"stopRecording"});
  EXPECT_EQ(eventLog(), Log{"stopped"});
  EXPECT_EQ(state(), "idle, 0 timers");
}

TEST_F(RecorderTest, StartingOverAnOpenSessionEndsItFirstAndKeepsEveryFile) {
  expectSuccess(start("a"));
  scheduler.advance(seconds(5));
  expectSuccess(start("b"));
  EXPECT_EQ(eventLog(), (Log{"sealed 0 a/000000.m4a 00:00:00.000Z", "stopped"}));
  EXPECT_TRUE(exists(file("000000.m4a", "a")));
  // The same id again: the sealed segment stays as it was, the new one takes the next index.
  const std::string sealedBefore = readFile(file("000000.m4a", "b"));
  events.clear();
  ok({"pauseRecording"});
  expectSuccess(start("b"));
  scheduler.advance(seconds(30));
  EXPECT_EQ(eventLog(), (Log{"sealed 0 b/000000.m4a 00:00:05.000Z", "stopped",
                             "sealed 1 b/000001.m4a 00:00:05.000Z"}));
  EXPECT_EQ(readFile(file("000000.m4a", "b")), sealedBefore);
}

TEST_F(RecorderTest, StartResumeAndStopFailuresAnswerTheirTriples) {
  const std::string notRecording = "AVAudioRecorder failed to enter the recording state.";
  const auto startFails = [&](const std::string& details) {
    expectError(start(), "start_failed", "Failed to start recording.", details);
    EXPECT_EQ(state(), "idle, 0 timers");
  };
  audio->makeRecorderError = Error{"posix", 13, "Cannot open /x: Permission denied"};
  startFails("Cannot open /x: Permission denied");
  EXPECT_TRUE(exists(folder()));  // the folder stays
  audio->makeRecorderError.reset();
  audio->recordFails = true;
  startFails(notRecording);
  audio->recordFails = false;
  writeFile(audio->dataDir = dir.path() + "/plainfile", "x");  // cannot hold a recordings folder
  startFails("*");
  audio->dataDir = "";
  startFails("No data folder is available for recordings.");
  audio->dataDir = dir.path() + "/data";

  expectSuccess(start());
  ok({"pauseRecording"});
  audio->recordFails = true;
  expectError(invokeAndRun("resumeRecording"), "resume_failed", "Failed to resume recording.",
              notRecording);
  EXPECT_EQ(state(), "paused, 0 timers");
  audio->recordFails = false;
  ok({"resumeRecording"});
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
  // The resumed segment does not overwrite the unsealed file.
  ok({"pauseRecording"});
  EXPECT_EQ(state(), "paused, 0 timers");
  const std::string unsealed = readFile(file("000000.m4a"));
  ok({"resumeRecording"});
  EXPECT_EQ(readFile(file("000000.m4a")), unsealed);
  EXPECT_TRUE(exists(file("000001.m4a")));
}

TEST_F(RecorderTest, EventsGoOnlyToTheCurrentListenerAndLevelsStayInZeroToOne) {
  // Without a listener records are dropped, but the index moves on.
  listen(false);
  expectSuccess(start());
  scheduler.advance(seconds(60));
  EXPECT_TRUE(events.empty());
  EXPECT_TRUE(exists(file("000002.m4a")));
  listen();
  EXPECT_TRUE(events.empty());
  scheduler.advance(seconds(1));
  auto levels = eventsOfType("level_changed");
  ASSERT_EQ(levels.size(), 4u);
  EXPECT_EQ(levels[0].asMap()->size(), 2u);
  EXPECT_NEAR(levels[0].asMap()->find("level")->get<double>(), 0.1, 1e-6);  // -20 dB
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

// A running session that fails ends with one error, keeps its files, and the next session in
// the folder goes around them.
class FailureTest : public RecorderTest {
 protected:
  FailureTest() { expectSuccess(start()); }
  void expectEnded(Duration until, const Log& reported,
                   const Log& microphone = {"record 000000.m4a", "stop 000000.m4a"}) {
    scheduler.advance(until);
    EXPECT_EQ(eventLog(), reported);
    EXPECT_EQ(state(), "idle, 0 timers");
    EXPECT_TRUE(exists(file("000000.m4a")) && !exists(file("000001.m4a")));
    scheduler.advance(seconds(30));  // reported once, no rotation after it
    ok({"resumeRecording"});         // idle: records nothing
    EXPECT_EQ(eventLog(), reported);
    EXPECT_EQ(audio->log, microphone);
    audio->hashFails.clear();
    audio->recordFails = false;
    audio->recorderFailure.reset();
    audio->freeBytes = int64_t{10} << 30;
    expectSuccess(start());
    EXPECT_EQ(audio->log.back(), "record 000001.m4a");
  }
  const std::string rotateFailed = "error Failed to rotate recording segment: ";
  const std::string unreadable = rotateFailed + "Cannot read rec-1/000000.m4a: Input/output error";
  const std::string sealed = "sealed 0 rec-1/000000.m4a 00:00:00.000Z";
};

TEST_F(FailureTest, ASealAtTheRotation) {
  audio->hashFails.insert(file("000000.m4a"));
  expectEnded(seconds(30), {unreadable});
}

TEST_F(FailureTest, ASealAfterAHandoverWhoseFileGoesUnreported) {
  audio->offerHandover = true;
  audio->hashFails.insert(file("000000.m4a"));
  expectEnded(seconds(30), {unreadable},
              {"record 000000.m4a", "handover 000000.m4a -> 000001.m4a", "stop 000000.m4a",
               "stop 000001.m4a"});
}

TEST_F(FailureTest, TheNextRecorderAfterTheSealedSegment) {
  audio->recordFails = true;
  expectEnded(seconds(30),
              {sealed, rotateFailed + "AVAudioRecorder failed to enter the recording state."});
}

TEST_F(FailureTest, FreeSpaceBelowTheFloorAfterTheSealedSegment) {
  audio->freeBytes = LumewellNativeRecorderPlugin::kLowDiskStopFloorBytes;
  scheduler.advance(seconds(5));
  audio->freeBytes.reset();  // unknown is no reason to stop
  scheduler.advance(seconds(5));
  EXPECT_EQ(state(), "recording, 2 timers");
  audio->freeBytes = LumewellNativeRecorderPlugin::kLowDiskStopFloorBytes - 1;
  expectEnded(seconds(2),
              {sealed, rotateFailed + "The disk holding rec-1 has only 33554431 " +
                           "bytes free, below the 33554432 needed to go on recording."});
}

TEST_F(FailureTest, ALostSoundServerOrAWriteErrorAfterTheSealedSegment) {
  scheduler.advance(seconds(10));
  audio->recorderFailure = Error{"pulse", 6, "The connection to the sound server was lost."};
  expectEnded(milliseconds(250),
              {sealed, rotateFailed + "The connection to the sound server was lost."});
  // A write error leaves a file that does not play, kept for a later recovery.
  audio->log.clear();
  events.clear();
  audio->durations[file("000001.m4a")] = std::nullopt;
  audio->recorderFailure = Error{"FFmpeg", -28, "Cannot write x: No space left on device"};
  scheduler.advance(milliseconds(250));
  EXPECT_EQ(eventLog(), Log{rotateFailed + "Cannot write x: No space left on device; the " +
                            "segment in progress could not be sealed: The file " +
                            "rec-1/000001.m4a does not play."});
  EXPECT_EQ(state(), "idle, 0 timers");
  EXPECT_TRUE(exists(file("000001.m4a")));
}

// As the real recorder does: a rotation hands the capture over to the next file.
TEST_F(RecorderTest, RotationHandsTheCaptureOverWhenOfferedAndPauseAndStopStillStopFirst) {
  audio->offerHandover = true;
  expectSuccess(start());
  int64_t nextFileExisted = -1;
  messenger.onEvent = [&](const std::string&, const Value& event) {
    if (str(event, "type") == "segment_sealed") nextFileExisted = exists(file("000001.m4a"));
  };
  scheduler.advance(seconds(30));
  EXPECT_EQ(audio->log,
            (Log{"record 000000.m4a", "handover 000000.m4a -> 000001.m4a", "stop 000000.m4a"}));
  EXPECT_EQ(nextFileExisted, 1);
  EXPECT_EQ(eventLog(), Log{"sealed 0 rec-1/000000.m4a 00:00:00.000Z"});
  EXPECT_EQ(state(), "recording, 2 timers");
  EXPECT_EQ(audio->settingsUsed.size(), 1u) << "no new recorder was made";

  // A file that appeared in the folder meanwhile is not written over: the handover skips it.
  writeFile(file("000002.m4a"), "stale");
  scheduler.advance(seconds(30));
  EXPECT_EQ(eventLog().back(), "sealed 1 rec-1/000001.m4a 00:00:30.000Z");
  EXPECT_EQ(readFile(file("000002.m4a")), "stale");
  EXPECT_TRUE(exists(file("000003.m4a")));

  // Pause and stop do not hand over.
  audio->log.clear();
  ok({"pauseRecording", "resumeRecording"});
  scheduler.advance(seconds(10));
  ok({"stopRecording"});
  EXPECT_EQ(audio->log, (Log{"stop 000003.m4a", "record 000004.m4a", "stop 000004.m4a"}));
  const Log log = eventLog();
  EXPECT_EQ(Log(log.begin() + 2, log.end()),
            (Log{"sealed 3 rec-1/000003.m4a 00:01:00.000Z",
                 "sealed 4 rec-1/000004.m4a 00:01:00.000Z", "stopped"}));
  EXPECT_EQ(state(), "idle, 0 timers");

  // Offered but failing, after leaving a partial file at the index it was given: the rotation
  // stops, then records at that index; once the recorder hands over again, the rotation uses it.
  audio->log.clear();
  events.clear();
  audio->handoverFails = true;
  const size_t made = audio->settingsUsed.size();
  expectSuccess(start("h"));
  scheduler.advance(seconds(30));
  EXPECT_EQ(audio->log, (Log{"record 000000.m4a", "stop 000000.m4a", "record 000001.m4a"}));
  EXPECT_EQ(readFile(file("000001.m4a", "h")).rfind("audio ", 0), 0u) << "the partial file went";
  EXPECT_EQ(types(), Log{"segment_sealed"});
  EXPECT_EQ(audio->settingsUsed.size(), made + 2);
  audio->handoverFails = false;
  scheduler.advance(seconds(30));
  EXPECT_EQ(Log(audio->log.end() - 2, audio->log.end()),
            (Log{"handover 000001.m4a -> 000002.m4a", "stop 000001.m4a"}));
}

TEST_F(RecorderTest, UnknownMethodsAndBadStartArgumentsAreRefusedInOrderChangingNothing) {
  for (const char* name : {"foo", "StartRecording", "startrecording", "stopRecording "}) {
    auto call = invokeAndRun(name, Value(ValueMap{{"recordingId", "x"}}));
    EXPECT_TRUE(call->answered() && call->reply.empty()) << name << " is not implemented";
  }
  audio->micStatus = kMicDenied;
  for (const auto& [args, message] :
       {std::pair{Value(), "Missing start recording arguments."},
        std::pair{Value(ValueList{Value("rec")}), "Missing start recording arguments."},
        std::pair{Value(ValueMap{}), "Missing recordingId."},
        std::pair{Value(ValueMap{{"recordingId", int32_t{7}}}), "Missing recordingId."}}) {
    expectError(invokeAndRun("startRecording", args), "bad_args", message);
  }
  // An id that would leave or break the recordings folder, even with the microphone denied.
  for (const std::string& id : std::initializer_list<std::string>{
           "", ".", "..", "../x", "a/b", "/abs", std::string("a\0b", 3), std::string(256, 'x')}) {
    expectError(invokeAndRun("startRecording", Value(ValueMap{{"recordingId", id}})), "bad_args",
                "Invalid recordingId.");
  }
  for (int status : {kMicNotDetermined, kMicRestricted, kMicDenied, 9}) {
    audio->micStatus = status;  // the permission comes before the missing source
    for (const auto& [id, mode] : {std::pair{std::string(255, 'x'), "MIC_ONLY"},
                                   std::pair{std::string("rec"), "MIC_PLUS_APP_AUDIO"}}) {
      expectError(start(id, mode, ""), "permission_denied",
                  "Microphone access is required before recording can start.");
    }
  }
  audio->micStatus = kMicAuthorized;
  for (const Value& source : {Value(), Value(""), Value(int32_t{4711})}) {
    ValueMap args{{"recordingId", "rec"}, {"captureMode", "MIC_PLUS_APP_AUDIO"}};
    if (!source.isNull()) args.set("sourceId", source);
    expectError(invokeAndRun("startRecording", Value(args)), "bad_args",
                "Missing desktop app audio source.");
  }
  EXPECT_EQ(plugin->runtimeState(), RuntimeState::idle);
  EXPECT_TRUE(events.empty());
  EXPECT_TRUE(audio->settingsUsed.empty());
  EXPECT_FALSE(exists(dir.path() + "/data"));
  EXPECT_TRUE(invoke("getStorageStatus")->isSuccess()) << "answered before returning";

  // A 255-byte id is a valid file name; the mode in lower case is the microphone alone.
  expectSuccess(start(std::string(255, 'x'), "mic_plus_app_audio"));
  EXPECT_TRUE(exists(file("000000.m4a", std::string(255, 'x'))));
  EXPECT_TRUE(app->resolved.empty());
}

TEST(RecorderSharedInstance, TheFactoryRunsOnceAgainstConcurrentFirstUse) {
  static VirtualScheduler scheduler;  // outlives the process-wide instance
  int made = 0;
  ASSERT_TRUE(LumewellNativeRecorderPlugin::configureShared([&] {
    ++made;
    return std::make_shared<LumewellNativeRecorderPlugin>(scheduler, nullptr, nullptr);
  }));
  std::shared_ptr<LumewellNativeRecorderPlugin> a, b;
  std::thread t([&] { a = LumewellNativeRecorderPlugin::shared(); });
  b = LumewellNativeRecorderPlugin::shared();
  t.join();
  EXPECT_EQ(made, 1);
  EXPECT_TRUE(a && a == b);
  EXPECT_FALSE(LumewellNativeRecorderPlugin::configureShared(nullptr));
  EXPECT_EQ(LumewellNativeRecorderPlugin::shared(), a);
}

}  // namespace
}  // namespace lumewell::recorder::testing
