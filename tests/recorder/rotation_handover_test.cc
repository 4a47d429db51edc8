#include "recorder/recorder_fakes.h"

namespace lumewell::recorder::testing {
namespace {

using std::chrono::seconds;

class HandoverTest : public RecorderTest {
 protected:
  HandoverTest() { audio->offerHandover = true; }
};

TEST_F(HandoverTest, RotationHandsTheCaptureOverWhenOfferedAndPauseAndStopStillStopFirst) {
  expectSuccess(start());
  int64_t nextFileExisted = -1;
  messenger.onEvent = [&](const std::string&, const Value& event) {
    if (str(event, "type") == "segment_sealed") nextFileExisted = exists(file("000001.m4a"));
  };
  scheduler.advance(seconds(30));
  // The next file was recording before the finished one stopped and was reported.
  EXPECT_EQ(audio->log,
            (Log{"record 000000.m4a", "handover 000000.m4a -> 000001.m4a", "stop 000000.m4a"}));
  EXPECT_EQ(nextFileExisted, 1);
  EXPECT_EQ(eventLog(), Log{"sealed 0 rec-1/000000.m4a 00:00:00.000Z"});
  EXPECT_EQ(state(), "recording, 2 timers");
  EXPECT_EQ(plugin->nextSegmentIndex(), 1);
  EXPECT_EQ(audio->settingsUsed.size(), 1u) << "no new recorder was made";

  // A file that appeared in the folder meanwhile is not written over: the handover skips it.
  writeFile(file("000002.m4a"), "stale");
  scheduler.advance(seconds(30));
  EXPECT_EQ(eventLog().back(), "sealed 1 rec-1/000001.m4a 00:00:30.000Z");
  EXPECT_EQ(readFile(file("000002.m4a")), "stale");
  EXPECT_EQ(plugin->nextSegmentIndex(), 3);
  EXPECT_TRUE(exists(file("000003.m4a")));

  // Pause and stop end the segment without handing over; resume records afresh.
  audio->log.clear();
  expectSuccess(invokeAndRun("pauseRecording"));
  expectSuccess(invokeAndRun("resumeRecording"));
  scheduler.advance(seconds(10));
  expectSuccess(invokeAndRun("stopRecording"));
  EXPECT_EQ(audio->log, (Log{"stop 000003.m4a", "record 000004.m4a", "stop 000004.m4a"}));
  const Log log = eventLog();
  EXPECT_EQ(Log(log.begin() + 2, log.end()),
            (Log{"sealed 3 rec-1/000003.m4a 00:01:00.000Z",
                 "sealed 4 rec-1/000004.m4a 00:01:00.000Z", "stopped"}));
  EXPECT_EQ(state(), "idle, 0 timers");
}

TEST_F(HandoverTest, WithoutAWorkingHandoverTheRotationStopsThenRecordsAtTheSameIndex) {
  // Offered but failing, after leaving a partial file at the index it was given.
  audio->handoverFails = true;
  expectSuccess(start());
  scheduler.advance(seconds(30));
  EXPECT_EQ(audio->log, (Log{"record 000000.m4a", "stop 000000.m4a", "record 000001.m4a"}));
  EXPECT_EQ(readFile(file("000001.m4a")).rfind("audio ", 0), 0u) << "the partial file went";
  EXPECT_EQ(types(), Log{"segment_sealed"});
  EXPECT_EQ(plugin->nextSegmentIndex(), 1);
  EXPECT_EQ(audio->settingsUsed.size(), 2u);

  // Once the recorder hands over again, the rotation after it uses that.
  audio->handoverFails = false;
  scheduler.advance(seconds(30));
  EXPECT_EQ(Log(audio->log.end() - 2, audio->log.end()),
            (Log{"handover 000001.m4a -> 000002.m4a", "stop 000001.m4a"}));
  EXPECT_EQ(plugin->nextSegmentIndex(), 2);
}

}  // namespace
}  // namespace lumewell::recorder::testing
