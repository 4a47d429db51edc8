#include "media/aac_file_writer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <limits>
#include <numeric>

#include "media/compose_test_files.h"
#include "media/media_probe.h"

namespace lumewell::media {
namespace {

using namespace compose_test;

// Writes pcm in uneven chunks, as a capture stream delivers it.
void writeChunked(AacFileWriter& writer, const std::vector<float>& pcm) {
  const int channels = writer.settings().channels;
  const size_t chunks[] = {1, 959, 960, 1024, 4097, 333};
  for (size_t k = 0, at = 0, frames = pcm.size() / channels; at < frames; ++k) {
    const size_t n = std::min(chunks[k % std::size(chunks)], frames - at);
    ASSERT_FALSE(writer.write(pcm.data() + at * channels, n));
    at += n;
  }
}

double rms(const std::vector<float>& v, size_t from, size_t to) {
  const auto begin = v.begin() + std::ptrdiff_t(from), end = v.begin() + std::ptrdiff_t(to);
  return std::sqrt(std::inner_product(begin, end, begin, 0.0) / double(to - from));
}

// Mono as written, with a length off the 1024-frame AAC frame (the short last frame must count
// exactly); stereo with fast start and a silent right channel, which must stay apart.
TEST(AacFileWriterTest, FilesAreAacLcWithTheExactDurationAndSignal) {
  TempDir dir;
  for (const int channels : {1, 2}) {
    SCOPED_TRACE(channels);
    const std::string path = dir.path() + "/" + std::to_string(channels) + ".m4a";
    auto writer =
        AacFileWriter::create(path, {48000, channels, 64000 * (channels + 1), channels == 2});
    ASSERT_TRUE(writer) << writer.error().localizedDescription;
    const size_t frames = 3 * 48000 + 333;
    writeChunked(**writer, tonePcm(0, frames, channels, {1000, 0.5}, 1));
    EXPECT_EQ((*writer)->framesWritten(), int64_t(frames));
    ASSERT_FALSE((*writer)->finish());
    EXPECT_FALSE((*writer)->finish()) << "finish is idempotent";
    EXPECT_TRUE((*writer)->write(tonePcm(0, 10, channels).data(), 10)) << "closed writer refuses";

    auto info = probeAudio(path);
    ASSERT_TRUE(info) << info.error().localizedDescription;
    EXPECT_EQ(info->codec + info->profile + std::to_string(info->sampleRate) + "/" +
                  std::to_string(info->channels),
              "aacLC48000/" + std::to_string(channels));
    EXPECT_NEAR(double(info->durationSamples), double(frames), 48.0);
    EXPECT_NEAR(double(mediaDurationMs(path).value_or(-1)), frames / 48.0, 2.0);
    EXPECT_TRUE(hasAudioTrack(path));
    EXPECT_EQ(durationOf(path), int64_t(frames));
    const auto decoded = decode(path, channels);
    EXPECT_NEAR(rms(decoded[0], 4800, 100800), 0.3536, 0.01);  // a sine of 0.5
    if (channels == 2) {
      EXPECT_GE(expectAacOutput(path, 2), 0);  // the index (moov) in front
      EXPECT_LT(rms(decoded[1], 4800, 100800), 0.01);
    }
  }
}

TEST(AacFileWriterTest, OutOfRangeAndNanSamplesAreClampedNotPropagated) {
  TempDir dir;
  const std::string path = dir.path() + "/hot.m4a";
  auto writer = AacFileWriter::create(path, {48000, 1, 128000, false});
  ASSERT_TRUE(writer);
  std::vector<float> pcm = tonePcm(0, 48000, 1, {1000, 8.0});
  for (size_t i = 0; i < pcm.size(); i += 7) pcm[i] = std::numeric_limits<float>::quiet_NaN();
  for (size_t i = 3; i < pcm.size(); i += 11) pcm[i] = std::numeric_limits<float>::infinity();
  writeChunked(**writer, pcm);
  ASSERT_FALSE((*writer)->finish());
  const std::vector<float> decoded = decode(path, 1)[0];
  EXPECT_TRUE(
      std::all_of(decoded.begin(), decoded.end(), [](float v) { return std::isfinite(v); }));
  // Clamped to a square-ish wave of rms just under 1 (unclamped it would be 5.7).
  EXPECT_NEAR(rms(decoded, 4800, 40000), 0.85, 0.25);
}

TEST(AacFileWriterTest, DurationsOfShortEmptyCancelledDroppedAndUnwritableFiles) {
  TempDir dir;
  // Durations round to whole milliseconds half away from zero (1000.5 ms up, 1000.4 ms down);
  // nothing written is a valid file of length zero (MP4 leaves out a track without samples).
  for (const auto& [frames, ms] :
       {std::pair{48024, 1001}, std::pair{48019, 1000}, std::pair{960, 20}, std::pair{0, 0}}) {
    const std::string path = dir.path() + "/" + std::to_string(frames) + ".m4a";
    writeToneFile(path, 1, 0, frames, {1000, 0});
    EXPECT_EQ(mediaDurationMs(path).value_or(0), ms) << frames << " frames";
  }
  const std::string cancelled = dir.path() + "/cancelled.m4a";
  auto second = AacFileWriter::create(cancelled, {48000, 2, 192000, false});
  ASSERT_TRUE(second);
  ASSERT_FALSE((*second)->write(tonePcm(0, 5000, 2).data(), 5000));
  (*second)->cancel();
  EXPECT_FALSE(std::filesystem::exists(cancelled));

  // A writer dropped without finish still leaves a playable file.
  const std::string dropped = dir.path() + "/dropped.m4a";
  {
    auto third = AacFileWriter::create(dropped, {48000, 1, 128000, false});
    ASSERT_TRUE(third);
    ASSERT_FALSE((*third)->write(tonePcm(0, 24000, 1).data(), 24000));
  }
  EXPECT_NEAR(double(mediaDurationMs(dropped).value_or(-1)), 500.0, 2.0);

  // A folder that does not exist, and settings no encoder takes.
  auto missing = AacFileWriter::create(dir.path() + "/no/such/folder/x.m4a", {});
  ASSERT_FALSE(missing);
  EXPECT_NE(missing.error().localizedDescription.find("/no/such/folder/x.m4a"), std::string::npos);
  EXPECT_FALSE(AacFileWriter::create(dir.path() + "/bad.m4a", {48000, 0, 128000, false}));
  EXPECT_FALSE(std::filesystem::exists(dir.path() + "/bad.m4a"));
}

}  // namespace
}  // namespace lumewell::media
