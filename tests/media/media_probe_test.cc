#include "media/media_probe.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "media/aac_file_writer.h"
#include "support/main_loop_helpers.h"
#include "support/test_files.h"

namespace lumewell::media {
namespace {

using lumewell::testing::TempDir;

void writeSilence(const std::string& path, size_t frames) {
  auto writer = AacFileWriter::create(path, {48000, 1, 128000, false});
  ASSERT_TRUE(writer);
  std::vector<float> pcm(frames, 0.0f);
  ASSERT_FALSE((*writer)->write(pcm.data(), pcm.size()));
  ASSERT_FALSE((*writer)->finish());
}

TEST(MediaProbeTest, DurationsRoundToWholeMillisecondsHalfAwayFromZero) {
  TempDir dir;
  // 1000.5 ms rounds up to 1001; 1000.4 ms down to 1000; 20 ms stays 20.
  struct Case {
    size_t frames;
    int64_t ms;
  } cases[] = {{48024, 1001}, {48019, 1000}, {960, 20}};
  for (const Case& c : cases) {
    const std::string path = dir.path() + "/" + std::to_string(c.frames) + ".m4a";
    writeSilence(path, c.frames);
    EXPECT_EQ(mediaDurationMs(path), std::optional<int64_t>(c.ms)) << c.frames << " frames";
  }
}

TEST(MediaProbeTest, FilesThatAreNotMediaHaveNoDurationAndNoTrack) {
  TempDir dir;
  const std::string text = dir.path() + "/notes.m4a";
  std::ofstream(text) << "not audio at all, only text that happens to end in .m4a\n";
  const std::string truncated = dir.path() + "/truncated.m4a";
  writeSilence(dir.path() + "/whole.m4a", 48000);
  lumewell::testing::writeFile(
      truncated, lumewell::testing::readFile(dir.path() + "/whole.m4a").substr(0, 40));
  for (const std::string& path : {text, truncated, dir.path() + "/missing.m4a", dir.path()}) {
    EXPECT_FALSE(mediaDurationMs(path).has_value()) << path;
    EXPECT_FALSE(hasAudioTrack(path)) << path;
    EXPECT_FALSE(probeAudio(path)) << path;
  }
}

}  // namespace
}  // namespace lumewell::media
