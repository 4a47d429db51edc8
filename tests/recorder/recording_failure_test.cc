#include "recorder/recorder_fakes.h"

namespace lumewell::recorder::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

const std::string kRotateFailed = "error Failed to rotate recording segment: ";
const std::string kUnreadable = kRotateFailed + "Cannot read rec-1/000000.m4a: Input/output error";
const std::string kSealed = "sealed 0 rec-1/000000.m4a 00:00:00.000Z";

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
    scheduler.advance(seconds(30));                  // reported once, no rotation after it
    expectSuccess(invokeAndRun("resumeRecording"));  // idle: records nothing
    EXPECT_EQ(eventLog(), reported);
    EXPECT_EQ(audio->log, microphone);
    audio->hashFails.clear();
    audio->recordFails = false;
    audio->recorderFailure.reset();
    audio->freeBytes = int64_t{10} << 30;
    expectSuccess(start());
    EXPECT_EQ(audio->log.back(), "record 000001.m4a");
  }
};

TEST_F(FailureTest, ASealAtTheRotation) {
  audio->hashFails.insert(file("000000.m4a"));
  expectEnded(seconds(30), {kUnreadable});
}

TEST_F(FailureTest, ASealAfterAHandoverWhoseFileGoesUnreported) {
  audio->offerHandover = true;
  audio->hashFails.insert(file("000000.m4a"));
  expectEnded(seconds(30), {kUnreadable},
              {"record 000000.m4a", "handover 000000.m4a -> 000001.m4a", "stop 000000.m4a",
               "stop 000001.m4a"});
}

TEST_F(FailureTest, TheNextRecorderAfterTheSealedSegment) {
  audio->recordFails = true;
  expectEnded(seconds(30),
              {kSealed, kRotateFailed + "AVAudioRecorder failed to enter the recording state."});
}

TEST_F(FailureTest, FreeSpaceBelowTheFloorAfterTheSealedSegment) {
  audio->freeBytes = LumewellNativeRecorderPlugin::kLowDiskStopFloorBytes;
  scheduler.advance(seconds(5));
  audio->freeBytes.reset();  // unknown is no reason to stop
  scheduler.advance(seconds(5));
  EXPECT_EQ(state(), "recording, 2 timers");
  audio->freeBytes = LumewellNativeRecorderPlugin::kLowDiskStopFloorBytes - 1;
  expectEnded(seconds(2),
              {kSealed, kRotateFailed + "The disk holding rec-1 has only 33554431 " +
                            "bytes free, below the 33554432 needed to go on recording."});
}

TEST_F(FailureTest, ALostSoundServerAfterTheSealedSegment) {
  scheduler.advance(seconds(10));
  audio->recorderFailure = Error{"pulse", 6, "The connection to the sound server was lost."};
  expectEnded(milliseconds(250),
              {kSealed, kRotateFailed + "The connection to the sound server was lost."});
}

TEST_F(FailureTest, AWriteErrorLeavingAFileThatDoesNotPlayKeptForALaterRecovery) {
  audio->durations[file("000000.m4a")] = std::nullopt;
  audio->recorderFailure = Error{"FFmpeg", -28, "Cannot write x: No space left on device"};
  expectEnded(milliseconds(250), {kRotateFailed + "Cannot write x: No space left on device; the " +
                                  "segment in progress could not be sealed: The file " +
                                  "rec-1/000000.m4a does not play."});
}

}  // namespace
}  // namespace lumewell::recorder::testing
