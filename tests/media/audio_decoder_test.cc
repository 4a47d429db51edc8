#include "media/audio_decoder.h"

#include <gtest/gtest.h>

#include <fstream>

#include "media/compose_test_files.h"
#include "support/main_loop_helpers.h"

namespace lumewell::media {
namespace {

class AudioDecoderTest : public ::testing::Test {
 protected:
  std::string path(const std::string& name) const { return dir_.path() + "/" + name; }

  // Reads everything in odd-sized pieces, as the sources do.
  static std::vector<float> readAll(AudioDecoder& decoder) {
    std::vector<float> all;
    std::vector<float> piece(777 * 2);
    for (;;) {
      Result<size_t> got = decoder.read(piece.data(), 777);
      EXPECT_TRUE(got.ok());
      if (!got) break;
      all.insert(all.end(), piece.begin(),
                 piece.begin() + static_cast<std::ptrdiff_t>(*got * decoder.info().channels));
      if (*got < 777) break;
    }
    return all;
  }

  lumewell::testing::TempDir dir_;
};

TEST_F(AudioDecoderTest, OtherRatesAndLayoutsArriveAt48kHzMonoOrStereo) {
  // 44.1 kHz mono and 5.1 at 32 kHz, as other programs write them.
  ASSERT_EQ(
      system(("ffmpeg -v error -f lavfi -i sine=f=1000:r=44100:d=2 -c:a aac " + path("mono44.m4a"))
                 .c_str()),
      0);
  ASSERT_EQ(system(("ffmpeg -v error -f lavfi -i sine=f=1000:r=32000:d=1 -af "
                    "'pan=5.1|c0=c0|c1=c0|c2=c0|c3=c0|c4=c0|c5=c0' -c:a aac " +
                    path("surround.m4a"))
                       .c_str()),
            0);
  auto mono = AudioDecoder::open(path("mono44.m4a"));
  ASSERT_TRUE(mono.ok() && *mono);
  EXPECT_EQ((*mono)->info().channels, 1);
  EXPECT_EQ((*mono)->info().durationFrames, 96000);
  std::vector<float> x = readAll(**mono);
  EXPECT_EQ(x.size(), 96000u);
  // ffmpeg's sine source has amplitude 1/8; resampling keeps level and pitch.
  EXPECT_NEAR(compose_test::toneAmplitude(x, 24000, 48000, 1000), 0.125, 0.005);

  auto surround = AudioDecoder::open(path("surround.m4a"));
  ASSERT_TRUE(surround.ok() && *surround);
  EXPECT_EQ((*surround)->info().channels, 2);
  std::vector<float> y = readAll(**surround);
  EXPECT_EQ(y.size(), 2u * 48000u);
}

TEST_F(AudioDecoderTest, DamagedOrForeignFilesEndCleanly) {
  ASSERT_EQ(system(("ffmpeg -v error -f lavfi -i sine=f=1000:r=48000:d=3 -ac 2 -c:a aac "
                    "-movflags +faststart " +
                    path("tone.m4a"))
                       .c_str()),
            0);
  const std::string whole = compose_test::readFile(path("tone.m4a"));
  // The index is in front: cutting the file short leaves an index promising missing data.
  std::ofstream(path("cut.m4a"), std::ios::binary) << whole.substr(0, whole.size() / 2);
  auto cut = AudioDecoder::open(path("cut.m4a"));
  ASSERT_TRUE(cut.ok() && *cut);
  std::vector<float> piece(4096 * 2);
  int64_t frames = 0;
  for (int i = 0; i < 1000; ++i) {
    Result<size_t> got = (*cut)->read(piece.data(), 4096);
    if (!got) break;  // a read error is a clean end too
    frames += static_cast<int64_t>(*got);
    if (*got < 4096) break;
  }
  EXPECT_LE(frames, 48000 * 3);

  // Not media, not there, a folder: no audio track, no error.
  std::ofstream(path("text.m4a")) << "hello";
  for (const std::string& p : {path("text.m4a"), path("absent.m4a"), dir_.path()}) {
    auto none = AudioDecoder::open(p);
    ASSERT_TRUE(none.ok()) << p;
    EXPECT_EQ(none->get(), nullptr) << p;
  }
}

}  // namespace
}  // namespace lumewell::media
