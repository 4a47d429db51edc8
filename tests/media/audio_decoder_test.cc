#include "media/audio_decoder.h"

#include <gtest/gtest.h>

#include <fstream>

#include "media/compose_test_files.h"
#include "media/media_probe.h"

namespace lumewell::media {
namespace {

using namespace compose_test;

TEST(AudioDecoderTest, OtherRatesAndLayoutsArriveAt48kHzMonoOrStereo) {
  TempDir dir;
  const std::string mono = dir.path() + "/mono44.m4a", surround = dir.path() + "/surround.m4a";
  ffmpeg("-f lavfi -i sine=f=1000:r=44100:d=2 -c:a aac " + mono);
  ffmpeg(
      "-f lavfi -i sine=f=1000:r=32000:d=1 -af 'pan=5.1|c0=c0|c1=c0|c2=c0|c3=c0|c4=c0|c5=c0' "
      "-c:a aac " +
      surround);
  auto decoder = AudioDecoder::open(mono);
  ASSERT_TRUE(decoder.ok() && *decoder);
  EXPECT_EQ((*decoder)->info().channels, 1);
  EXPECT_EQ((*decoder)->info().durationFrames, 96000);
  std::vector<float> x = readAll(**decoder);
  EXPECT_EQ(x.size(), 96000u);
  // ffmpeg's sine source has amplitude 1/8; resampling keeps level and pitch.
  EXPECT_NEAR(fitTone(x, 24000, 72000, 1000, 0.125).amplitude, 0.125, 0.005);

  decoder = AudioDecoder::open(surround);
  ASSERT_TRUE(decoder.ok() && *decoder);
  EXPECT_EQ((*decoder)->info().channels, 2);
  EXPECT_EQ(readAll(**decoder).size(), 2u * 48000u);
}

TEST(AudioDecoderTest, DamagedOrForeignFilesEndCleanly) {
  TempDir dir;
  const std::string tone = dir.path() + "/tone.m4a", cut = dir.path() + "/cut.m4a";
  ffmpeg("-f lavfi -i sine=f=1000:r=48000:d=3 -ac 2 -c:a aac -movflags +faststart " + tone);
  // The index is in front: cutting the file short leaves an index promising missing data.
  const std::string whole = readFile(tone);
  std::ofstream(cut, std::ios::binary) << whole.substr(0, whole.size() / 2);
  auto decoder = AudioDecoder::open(cut);
  ASSERT_TRUE(decoder.ok() && *decoder);
  EXPECT_LE(readAll(**decoder).size(), 2u * 48000 * 3);

  // Not media, cut to its first 40 bytes, not there, a folder: no audio track, no duration,
  // no error.
  const std::string text = dir.path() + "/text.m4a", stub = dir.path() + "/stub.m4a";
  std::ofstream(text) << "hello";
  std::ofstream(stub, std::ios::binary) << whole.substr(0, 40);
  for (const std::string& p : {text, stub, dir.path() + "/absent.m4a", dir.path()}) {
    auto none = AudioDecoder::open(p);
    ASSERT_TRUE(none.ok()) << p;
    EXPECT_EQ(none->get(), nullptr) << p;
    EXPECT_FALSE(mediaDurationMs(p)) << p;
    EXPECT_FALSE(hasAudioTrack(p)) << p;
    EXPECT_FALSE(probeAudio(p)) << p;
  }
}

TEST(MediaProbeTest, DurationsRoundToWholeMillisecondsHalfAwayFromZero) {
  TempDir dir;
  // 1000.5 ms rounds up to 1001; 1000.4 ms down to 1000; 20 ms stays 20.
  for (const auto& [frames, ms] :
       {std::pair{48024, 1001}, std::pair{48019, 1000}, std::pair{960, 20}}) {
    const std::string path = dir.path() + "/" + std::to_string(frames) + ".m4a";
    writeToneFile(path, 1, 0, frames, {1000, 0});
    EXPECT_EQ(mediaDurationMs(path), std::optional<int64_t>(ms)) << frames << " frames";
  }
}

}  // namespace
}  // namespace lumewell::media
