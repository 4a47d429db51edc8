#include "media/media_probe.h"

#include <gtest/gtest.h>

#include <fstream>

#include "media/compose_test_files.h"

namespace lumewell::media {
namespace {

using namespace compose_test;

void writeSilence(const std::string& path, int64_t frames) {
  writeToneFile(path, 1, 0, frames, {1000, 0});
}

TEST(MediaProbeTest, DurationsRoundToWholeMillisecondsHalfAwayFromZero) {
  TempDir dir;
  // 1000.5 ms rounds up to 1001; 1000.4 ms down to 1000; 20 ms stays 20.
  struct Case {
    int64_t frames;
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
  std::ofstream(truncated) << readFile(dir.path() + "/whole.m4a").substr(0, 40);
  for (const std::string& path : {text, truncated, dir.path() + "/missing.m4a", dir.path()}) {
    EXPECT_FALSE(mediaDurationMs(path).has_value()) << path;
    EXPECT_FALSE(hasAudioTrack(path)) << path;
    EXPECT_FALSE(probeAudio(path)) << path;
  }
}

}  // namespace
}  // namespace lumewell::media
