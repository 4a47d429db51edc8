#include "recorder/recorder_fakes.h"

namespace lumewell::recorder::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

const std::string kRotateFailed = "Failed to rotate recording segment: ";

TEST_F(RecorderTest, FreeSpaceBelowTheFloorSealsTheSegmentThenReportsTheDiskAndIdles) {
  expectSuccess(start());
  audio->freeBytes = LumewellNativeRecorderPlugin::kLowDiskStopFloorBytes;
  scheduler.advance(seconds(5));
  audio->freeBytes.reset();  // unknown is no reason to stop
  scheduler.advance(seconds(5));
  EXPECT_EQ(plugin->runtimeState(), RuntimeState::recording);
  EXPECT_TRUE(types().empty());

  audio->freeBytes = LumewellNativeRecorderPlugin::kLowDiskStopFloorBytes - 1;
  scheduler.advance(seconds(2));
  EXPECT_EQ(types(), (Log{"segment_sealed", "error"}));
  EXPECT_EQ(sealed(), Log{"0 rec-1/000000.m4a 00:00:00.000Z"});
  EXPECT_EQ(str(eventsOfType("error")[0], "message"),
            kRotateFailed + "The disk holding " + folder() +
                " has only 33554431 bytes free, below the 33554432 needed to go on recording.");
  EXPECT_EQ(plugin->runtimeState(), RuntimeState::idle);
  EXPECT_EQ(scheduler.activeTimerCount(), 0u);
  EXPECT_EQ(audio->log, (Log{"record 000000.m4a", "stop 000000.m4a"}));
}

TEST_F(RecorderTest, ARecorderFailureSealsWhatWasRecordedUnlessTheFileDoesNotPlay) {
  expectSuccess(start());
  scheduler.advance(seconds(10));
  audio->recorderFailure = Error{"pulse", 6, "The connection to the sound server was lost."};
  scheduler.advance(milliseconds(250));
  EXPECT_EQ(types(), (Log{"segment_sealed", "error"}));
  EXPECT_EQ(str(eventsOfType("error")[0], "message"),
            kRotateFailed + "The connection to the sound server was lost.");
  EXPECT_EQ(plugin->runtimeState(), RuntimeState::idle);
  scheduler.advance(seconds(30));
  EXPECT_EQ(types().size(), 2u) << "reported once, no rotation after it";

  // A write error that left a file no player opens: nothing is reported sealed, the file
  // stays for a later recovery.
  events.clear();
  audio->recorderFailure.reset();
  expectSuccess(start("rec-2"));
  audio->durations[file("000000.m4a", "rec-2")] = std::nullopt;
  audio->recorderFailure = Error{"FFmpeg", -28, "Cannot write x: No space left on device"};
  scheduler.advance(milliseconds(250));
  EXPECT_EQ(types(), Log{"error"});
  EXPECT_EQ(str(eventsOfType("error")[0], "message"),
            kRotateFailed + "Cannot write x: No space left on device; the segment in progress " +
                "could not be sealed: The file " + file("000000.m4a", "rec-2") + " does not play.");
  EXPECT_TRUE(exists(file("000000.m4a", "rec-2")));
  EXPECT_EQ(plugin->runtimeState(), RuntimeState::idle);
}

}  // namespace
}  // namespace lumewell::recorder::testing
