#include "media/aac_file_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <numbers>
#include <vector>

#include "media/compose_test_files.h"
#include "media/media_probe.h"
#include "support/main_loop_helpers.h"

namespace lumewell::media {
namespace {

using lumewell::testing::TempDir;

std::vector<float> sine(size_t frames, int channels, double amplitude, double hz,
                        int silentChannel = -1) {
  std::vector<float> pcm(frames * channels);
  for (size_t i = 0; i < frames; ++i) {
    const float v = static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * hz * i / 48000));
    for (int c = 0; c < channels; ++c) pcm[i * channels + c] = c == silentChannel ? 0.0f : v;
  }
  return pcm;
}

// Writes pcm in uneven chunks, as a capture stream delivers it.
void writeChunked(AacFileWriter& writer, const std::vector<float>& pcm) {
  const int channels = writer.settings().channels;
  const size_t frames = pcm.size() / channels;
  const size_t chunks[] = {1, 959, 960, 1024, 4097, 333};
  size_t at = 0;
  for (size_t k = 0; at < frames; ++k) {
    const size_t n = std::min(chunks[k % std::size(chunks)], frames - at);
    ASSERT_FALSE(writer.write(pcm.data() + at * channels, n));
    at += n;
  }
}

// Decoded by the ffmpeg tool, independent of the code under test.
compose_test::Pcm decode(const std::string& path, int channels) {
  return compose_test::decodeWithFfmpeg(path, channels);
}

double rms(const std::vector<float>& v, size_t from, size_t to) {
  double sum = 0;
  for (size_t i = from; i < to; ++i) sum += double(v[i]) * v[i];
  return std::sqrt(sum / double(to - from));
}

TEST(AacFileWriterTest, MonoFileIsAacLcWithTheExactDurationAndSignal) {
  TempDir dir;
  const std::string path = dir.path() + "/mono.m4a";
  auto writer = AacFileWriter::create(path, {48000, 1, 128000, false});
  ASSERT_TRUE(writer) << writer.error().localizedDescription;
  // Not a multiple of the 1024-frame AAC frame: the short last frame must count exactly.
  const size_t frames = 3 * 48000 + 333;
  writeChunked(**writer, sine(frames, 1, 0.5, 1000));
  EXPECT_EQ((*writer)->framesWritten(), int64_t(frames));
  ASSERT_FALSE((*writer)->finish());
  EXPECT_FALSE((*writer)->finish()) << "finish is idempotent";
  EXPECT_TRUE((*writer)->write(sine(10, 1, 0.5, 1000).data(), 10)) << "closed writer refuses";

  auto info = probeAudio(path);
  ASSERT_TRUE(info) << info.error().localizedDescription;
  EXPECT_EQ(info->codec, "aac");
  EXPECT_EQ(info->profile, "LC");
  EXPECT_EQ(info->sampleRate, 48000);
  EXPECT_EQ(info->channels, 1);
  EXPECT_NEAR(double(info->durationSamples), double(frames), 48.0);
  auto ms = mediaDurationMs(path);
  ASSERT_TRUE(ms.has_value());
  EXPECT_NEAR(double(*ms), frames / 48.0, 2.0);
  EXPECT_TRUE(hasAudioTrack(path));

  const std::vector<float> decoded = decode(path, 1).channel(0);
  ASSERT_GE(decoded.size(), frames - 1024);
  // A sine of amplitude 0.5 has an rms of 0.354.
  EXPECT_NEAR(rms(decoded, 4800, 4800 + 96000), 0.3536, 0.01);
}

TEST(AacFileWriterTest, StereoKeepsChannelsApartAndFastStartPutsTheIndexFirst) {
  TempDir dir;
  const std::string path = dir.path() + "/stereo.m4a";
  auto writer = AacFileWriter::create(path, {48000, 2, 192000, true});
  ASSERT_TRUE(writer) << writer.error().localizedDescription;
  writeChunked(**writer, sine(48000, 2, 0.5, 440, /*silentChannel=*/1));
  ASSERT_FALSE((*writer)->finish());

  compose_test::expectAacOutput(path, 2);  // the index (moov) in front
  const compose_test::Pcm decoded = decode(path, 2);
  EXPECT_NEAR(rms(decoded.channel(0), 4800, 40000), 0.3536, 0.01);
  EXPECT_LT(rms(decoded.channel(1), 4800, 40000), 0.01);
}

TEST(AacFileWriterTest, OutOfRangeAndNanSamplesAreClampedNotPropagated) {
  TempDir dir;
  const std::string path = dir.path() + "/hot.m4a";
  auto writer = AacFileWriter::create(path, {48000, 1, 128000, false});
  ASSERT_TRUE(writer);
  std::vector<float> pcm = sine(48000, 1, 8.0, 1000);
  for (size_t i = 0; i < pcm.size(); i += 7) pcm[i] = std::numeric_limits<float>::quiet_NaN();
  for (size_t i = 3; i < pcm.size(); i += 11) pcm[i] = std::numeric_limits<float>::infinity();
  writeChunked(**writer, pcm);
  ASSERT_FALSE((*writer)->finish());
  const std::vector<float> decoded = decode(path, 1).channel(0);
  for (float v : decoded) ASSERT_TRUE(std::isfinite(v));
  // Clamped to a square-ish wave of rms just under 1 (unclamped it would be 5.7).
  const double level = rms(decoded, 4800, 40000);
  EXPECT_GT(level, 0.6);
  EXPECT_LT(level, 1.1);
}

TEST(AacFileWriterTest, EmptyCancelledAndUnwritableFiles) {
  TempDir dir;
  // Nothing written: a valid file of length zero (MP4 leaves out a track without samples).
  const std::string empty = dir.path() + "/empty.m4a";
  auto writer = AacFileWriter::create(empty, {48000, 1, 128000, false});
  ASSERT_TRUE(writer);
  ASSERT_FALSE((*writer)->finish());
  auto ms = mediaDurationMs(empty);
  EXPECT_TRUE(!ms || *ms == 0);

  // Cancel removes the file.
  const std::string cancelled = dir.path() + "/cancelled.m4a";
  auto second = AacFileWriter::create(cancelled, {48000, 2, 192000, false});
  ASSERT_TRUE(second);
  ASSERT_FALSE((*second)->write(sine(5000, 2, 0.5, 1000).data(), 5000));
  (*second)->cancel();
  EXPECT_FALSE(std::filesystem::exists(cancelled));

  // A writer dropped without finish still leaves a playable file.
  const std::string dropped = dir.path() + "/dropped.m4a";
  {
    auto third = AacFileWriter::create(dropped, {48000, 1, 128000, false});
    ASSERT_TRUE(third);
    ASSERT_FALSE((*third)->write(sine(24000, 1, 0.5, 1000).data(), 24000));
  }
  auto droppedMs = mediaDurationMs(dropped);
  ASSERT_TRUE(droppedMs.has_value());
  EXPECT_NEAR(double(*droppedMs), 500.0, 2.0);

  // A folder that does not exist, and settings no encoder takes.
  auto missing = AacFileWriter::create(dir.path() + "/no/such/folder/x.m4a", {});
  ASSERT_FALSE(missing);
  EXPECT_NE(missing.error().localizedDescription.find("/no/such/folder/x.m4a"), std::string::npos);
  EXPECT_FALSE(AacFileWriter::create(dir.path() + "/bad.m4a", {48000, 0, 128000, false}));
  EXPECT_FALSE(std::filesystem::exists(dir.path() + "/bad.m4a"));
}

}  // namespace
}  // namespace lumewell::media
