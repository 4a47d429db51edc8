#include "recorder/recorder_fakes.h"

namespace lumewell::recorder::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

const std::string kRotateFailed = "error Failed to rotate recording segment: ";

TEST_F(RecorderTest, FreeSpaceBelowTheFloorSealsTheSegmentThenReportsTheDiskAndIdles) {
  expectSuccess(start());
  audio->freeBytes = LumewellNativeRecorderPlugin::kLowDiskStopFloorBytes;
  scheduler.advance(seconds(5));
  audio->freeBytes.reset();  // unknown is no reason to stop
  scheduler.advance(seconds(5));
  EXPECT_EQ(state(), "recording, 2 timers");
  EXPECT_TRUE(types().empty());

  audio->freeBytes = LumewellNativeRecorderPlugin::kLowDiskStopFloorBytes - 1;
  scheduler.advance(seconds(2));
  EXPECT_EQ(eventLog(), (Log{"sealed 0 rec-1/000000.m4a 00:00:00.000Z",
                             kRotateFailed + "The disk holding rec-1 has only 33554431 bytes " +
                                 "free, below the 33554432 needed to go on recording."}));
  EXPECT_EQ(state(), "idle, 0 timers");
  EXPECT_EQ(audio->log, (Log{"record 000000.m4a", "stop 000000.m4a"}));
}

TEST_F(RecorderTest, ARecorderFailureSealsWhatWasRecordedUnlessTheFileDoesNotPlay) {
  expectSuccess(start());
  scheduler.advance(seconds(10));
  audio->recorderFailure = Error{"pulse", 6, "The connection to the sound server was lost."};
  scheduler.advance(milliseconds(250));
  const Log reported{"sealed 0 rec-1/000000.m4a 00:00:00.000Z",
                     kRotateFailed + "The connection to the sound server was lost."};
  EXPECT_EQ(eventLog(), reported);
  EXPECT_EQ(state(), "idle, 0 timers");
  scheduler.advance(seconds(30));
  EXPECT_EQ(eventLog(), reported) << "reported once, no rotation after it";

  // A write error that left a file no player opens: nothing is reported sealed, the file
  // stays for a later recovery.
  events.clear();
  audio->recorderFailure.reset();
  expectSuccess(start("rec-2"));
  audio->durations[file("000000.m4a", "rec-2")] = std::nullopt;
  audio->recorderFailure = Error{"FFmpeg", -28, "Cannot write x: No space left on device"};
  scheduler.advance(milliseconds(250));
  EXPECT_EQ(eventLog(), Log{kRotateFailed + "Cannot write x: No space left on device; the " +
                            "segment in progress could not be sealed: The file " +
                            "rec-2/000000.m4a does not play."});
  EXPECT_TRUE(exists(file("000000.m4a", "rec-2")));
  EXPECT_EQ(state(), "idle, 0 timers");
}

}  // namespace
}  // namespace lumewell::recorder::testing
