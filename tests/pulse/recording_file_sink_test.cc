#include "pulse/recording_file_sink.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <future>
#include <latch>
#include <thread>
#include <vector>

#include "media/audio_decoder.h"
#include "support/main_loop_helpers.h"

namespace lumewell::pulse {
namespace {

using lumewell::testing::TempDir;

std::shared_ptr<RecordingFileSink> makeSink(const std::string& path, int channels) {
  auto writer = media::SegmentedAacWriter::create(path, {.channels = channels}, media::makeRunId());
  EXPECT_TRUE(writer);
  return std::make_shared<RecordingFileSink>(std::move(writer).value());
}

// Each reading is the average power per channel of what arrived since the last one, in
// pieces of any length; a silent channel reads the floor, not -inf; a reading that finds
// nothing new holds the last once.
TEST(RecordingFileSinkTest, MeterReadsAveragePowerPerChannelSinceTheLastReading) {
  TempDir dir;
  auto sink = makeSink(dir.path() + "/a.m4a", 2);
  EXPECT_EQ(sink->takeMeterReading().averagePowerDb[0], kMeterFloorDb) << "no PCM yet";
  const auto left = [](size_t frames, float level) {  // the right channel silent
    std::vector<float> pcm(frames * 2, 0.0f);
    for (size_t i = 0; i < frames; ++i) pcm[i * 2] = level;
    return pcm;
  };
  const auto half = left(4803, 0.5f), quiet = left(4803, 0.0f), loud = left(5, 1.0f);
  sink->arrived(half.data(), 4803);
  sink->arrived(quiet.data(), 4803);
  MeterReading reading = sink->takeMeterReading();
  EXPECT_NEAR(reading.averagePowerDb[0], -9.03f, 0.01f);  // both pieces: a mean square of 1/8
  EXPECT_EQ(reading.averagePowerDb[1], kMeterFloorDb);

  sink->arrived(loud.data(), 5);  // fewer frames than the summing lanes
  EXPECT_NEAR(sink->takeMeterReading().averagePowerDb[0], 0.0f, 0.01f);
  EXPECT_NEAR(sink->takeMeterReading().averagePowerDb[0], 0.0f, 0.01f) << "nothing new: held";
  EXPECT_EQ(sink->takeMeterReading().averagePowerDb[0], kMeterFloorDb) << "nothing new again";
  const auto whisper = left(4800, 1e-9f);
  sink->arrived(whisper.data(), 4800);
  EXPECT_EQ(sink->takeMeterReading().averagePowerDb[0], kMeterFloorDb) << "clamped to the floor";
  sink->consume(half.data(), 4800);  // the encoder's blocks are not metered a second time
  EXPECT_EQ(sink->takeMeterReading().averagePowerDb[0], kMeterFloorDb);
  ASSERT_FALSE(sink->finish());
}

// A late segment timer finds the capture past the segment's end; the held PCM still lets the
// cut land on the segment's frame.
TEST(RecordingFileSinkTest, ALateCutStillEndsEachFileAtItsFrameAndLosesNothing) {
  TempDir dir;
  const std::string first = dir.path() + "/000001.m4a", second = dir.path() + "/000002.m4a";
  auto sink = makeSink(first, 1);
  sink->holdFrom(48000);
  const std::vector<float> pcm(48000 * 3, 0.25f);
  for (size_t at = 0; at < 67200; at += 960) sink->consume(pcm.data() + at, 960);  // 0.4 s late
  auto cut = sink->cut(48000, second, std::chrono::milliseconds(10), 48000);
  ASSERT_TRUE(cut.ok() && *cut == 48000);
  for (size_t at = 67200; at < 48000 * 3; at += 960) sink->consume(pcm.data() + at, 960);
  ASSERT_FALSE(sink->waitForCutFile(std::chrono::milliseconds(1000)));
  ASSERT_FALSE(sink->finish());
  // The second file was held at its own end (96000) too; the stop takes what came after.
  for (const auto& [path, frames] : {std::pair{first, 48000}, std::pair{second, 96000}}) {
    auto decoder = media::AudioDecoder::open(path);
    ASSERT_TRUE(decoder.ok() && *decoder) << path;
    EXPECT_EQ((*decoder)->info().durationFrames, frames) << path;
  }
}

// The meter timer asks for a write error on the main thread; a fragment stuck on its way to
// a slow disk must not hold it. The error it then reports is the writer's.
TEST(RecordingFileSinkTest, AWriteErrorIsReadWithoutWaitingForTheDisk) {
  struct StuckWriter final : media::SegmentedAacWriter {
    std::latch entered{1}, release{1};
    media::AacWriterSettings settings_;
    OptionalError write(const float*, size_t) override {
      entered.count_down();
      release.wait();
      return Error{"posix", EIO, "disk"};
    }
    Result<int64_t> cut(int64_t at, const std::string&) override { return at; }
    bool cutPending() const override { return false; }
    OptionalError finish() override { return std::nullopt; }
    void cancel() override {}
    const media::AacWriterSettings& settings() const override { return settings_; }
  };
  auto owned = std::make_unique<StuckWriter>();
  StuckWriter& writer = *owned;
  auto sink = std::make_shared<RecordingFileSink>(std::move(owned));
  const std::vector<float> pcm(480, 0.1f);
  std::thread worker([&] { sink->consume(pcm.data(), pcm.size()); });
  writer.entered.wait();
  auto asked = std::async(std::launch::async, [&] { return sink->writeError(); });
  const bool answered = asked.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  writer.release.count_down();
  worker.join();
  ASSERT_TRUE(answered) << "writeError() waited behind the writer";
  EXPECT_FALSE(asked.get());
  EXPECT_EQ(sink->writeError()->code, EIO);
}

}  // namespace
}  // namespace lumewell::pulse
