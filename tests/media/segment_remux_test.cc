#include "media/segment_remux.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "media/compose_test_files.h"
#include "media/part_recovery.h"
#include "media/segment_files.h"
#include "media/segmented_aac_writer.h"

namespace lumewell::media {
namespace {

using namespace compose_test;

// A reproducible noise (with a tone in it, for the phase checks of the re-encode).
std::vector<float> noise(size_t frames, uint32_t seed) {
  std::vector<float> pcm = tonePcm(0, frames, 1, {1000, 0.3});
  for (float& v : pcm) {
    seed = seed * 1664525u + 1013904223u;
    v += static_cast<float>(0.2 * (static_cast<double>(seed >> 8) / (1 << 24) - 0.5));
  }
  return pcm;
}

// Every packet of the audio stream: its pts, duration and a hash of its bytes.
std::string packetsOf(const std::string& path) {
  return commandOutput(
      "ffprobe -v error -select_streams a:0 -show_data_hash SHA256 -show_entries "
      "packet=pts,duration,data_hash -of compact '" +
      path + "'");
}

std::vector<float> decodedSamples(const std::string& path) { return decode(path, 1)[0]; }

// Writes pcm as one run in uneven blocks, cutting at each of cuts into the next of paths. A
// cut is asked for before the encoder got there, or a little after (the timer late).
std::vector<int64_t> writeRun(const std::vector<float>& pcm, const std::vector<std::string>& paths,
                              const std::vector<int64_t>& cuts) {
  auto writer = SegmentedAacWriter::create(paths[0], {}, makeRunId());
  EXPECT_TRUE(writer) << writer.error().localizedDescription;
  std::vector<int64_t> placed;
  size_t at = 0, next = 0;
  const size_t blocks[] = {960, 4097, 1, 2048, 333};
  for (size_t k = 0; at < pcm.size(); ++k) {
    const size_t n = std::min(blocks[k % std::size(blocks)], pcm.size() - at);
    EXPECT_FALSE((*writer)->write(pcm.data() + at, n));
    at += n;
    if (next < cuts.size() && static_cast<int64_t>(at) + (next % 2 ? -3000 : 2500) >= cuts[next]) {
      auto cut = (*writer)->cut(cuts[next], paths[next + 1]);
      EXPECT_TRUE(cut) << cut.error().localizedDescription;
      placed.push_back(cut ? *cut : -1);
      ++next;
    }
  }
  EXPECT_FALSE((*writer)->finish());
  return placed;
}

TEST(SegmentRemuxTest, ARunCutIntoFilesJoinsBackPacketForPacketAndOtherRunsAreReencoded) {
  TempDir dir;
  const std::vector<float> pcm = noise(135000, 7);
  const std::vector<float> run(pcm.begin(), pcm.begin() + 90000),
      later(pcm.begin() + 90000, pcm.end());
  // Cuts inside a packet, on a packet boundary (40960), early in the run and late.
  const std::vector<int64_t> cuts = {700, 20000, 40960, 61111};
  std::vector<std::string> files;
  for (int i = 0; i <= 4; ++i) files.push_back(dir.path() + "/00000" + std::to_string(i) + ".m4a");
  EXPECT_EQ(writeRun(run, files, cuts), cuts);
  const std::string continuous = dir.path() + "/continuous.m4a";
  writeRun(run, {continuous}, {});

  // Each file alone holds exactly its samples, decoded as the continuous encode decodes them.
  const std::vector<float> whole = decodedSamples(continuous);
  ASSERT_EQ(whole.size(), run.size());
  size_t first = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    const size_t end = i < cuts.size() ? static_cast<size_t>(cuts[i]) : run.size();
    const std::vector<float> alone = decodedSamples(files[i]);
    ASSERT_EQ(alone.size(), end - first) << files[i];
    for (size_t s = 0; s < alone.size(); ++s)
      ASSERT_NEAR(alone[s], whole[first + s], 1e-6f) << files[i] << " sample " << s;
    first = end;
  }

  // Joined again by their packets: the continuous encode, packet for packet.
  const std::string joined = dir.path() + "/joined.m4a";
  ASSERT_FALSE(compose(files, joined).error);
  EXPECT_NE(packetsOf(continuous).find("data_hash=SHA256:"), std::string::npos);
  EXPECT_EQ(packetsOf(joined), packetsOf(continuous));
  EXPECT_EQ(durationOf(joined), static_cast<int64_t>(run.size()));

  // Files that do not continue each other are not remuxed.
  EXPECT_FALSE(*remuxRun({files[0], files[2]}, dir.path() + "/gap.m4a", nullptr));
  EXPECT_FALSE(*remuxRun({files[1], files[0]}, dir.path() + "/swapped.m4a", nullptr));
  EXPECT_FALSE(std::filesystem::exists(dir.path() + "/gap.m4a"));

  // A second run (after a pause) and a foreign file join re-encoded: the tone keeps its phase
  // across both joins, no sample lost or doubled anywhere.
  const std::vector<std::string> second = {dir.path() + "/b0.m4a", dir.path() + "/b1.m4a"};
  writeRun(later, second, {12345});
  const std::string foreign = dir.path() + "/foreign.m4a";
  writeToneFile(foreign, 1, 135000, 30001, {1000, 0.3});  // in phase
  std::vector<std::string> inputs = files;
  inputs.insert(inputs.end(), {second[0], second[1], foreign});
  const std::string output = dir.path() + "/assembled.m4a";
  ASSERT_FALSE(compose(inputs, output).error);
  EXPECT_EQ(durationOf(output), 135000 + 30001);
  const std::vector<float> out = decodedSamples(output);
  ASSERT_EQ(out.size(), size_t{135000 + 30001});
  for (size_t join : {size_t{90000}, size_t{135000}}) {
    EXPECT_NEAR(fitTone(out, join - 6000, join - 1000, 1000, 0.3).offsetSamples, 0, 0.25) << join;
    EXPECT_NEAR(fitTone(out, join + 1000, join + 6000, 1000, 0.3).offsetSamples, 0, 0.25) << join;
  }
}

// While a file records, only its part is on the disk, a fragment a second; a crash leaves the
// part, which recovers into what it held up to its last whole fragment, decoded exactly as the
// complete file decodes. The final name only ever holds a complete file, never replaced.
TEST(SegmentRemuxTest, AnInterruptedFileRecoversFromItsPartUpToItsLastWholeFragment) {
  namespace fs = std::filesystem;
  TempDir dir, crashed;
  const std::vector<float> pcm = noise(48000 * 4 + 123, 11);
  const std::string first = dir.path() + "/000000.m4a", second = dir.path() + "/000001.m4a";
  auto writer = SegmentedAacWriter::create(first, {}, makeRunId());
  ASSERT_TRUE(writer) << writer.error().localizedDescription;
  ASSERT_FALSE((*writer)->write(pcm.data(), 60000));
  ASSERT_TRUE((*writer)->cut(50000, second));
  ASSERT_FALSE((*writer)->write(pcm.data() + 60000, pcm.size() - 60000));
  EXPECT_TRUE(fs::exists(first));
  EXPECT_FALSE(fs::exists(partPathFor(first)) || fs::exists(stagingPathFor(first)));
  EXPECT_FALSE(fs::exists(second));
  struct stat st {};
  ASSERT_EQ(::stat(partPathFor(second).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // The host dies here: its part as the disk holds it, and a fragment it was writing torn.
  const std::string part = crashed.path() + "/.000001.m4a.part";
  fs::copy_file(partPathFor(second), part);
  std::ofstream(part, std::ios::app | std::ios::binary).write("\0\0\x10\0moof\0\0\0\x10mfhd", 16);
  fs::copy_file(part, crashed.path() + "/copy");
  auto recovered = finalizePart(part);
  ASSERT_TRUE(recovered) << recovered.error().localizedDescription;
  EXPECT_EQ(recovered->path, crashed.path() + "/000001.m4a");
  EXPECT_FALSE(fs::exists(part));
  // A second recovery of the same segment leaves the sealed file and the part alone.
  fs::rename(crashed.path() + "/copy", part);
  const auto sealedSize = fs::file_size(recovered->path);
  EXPECT_FALSE(finalizePart(part));
  EXPECT_TRUE(fs::exists(part));
  EXPECT_EQ(fs::file_size(recovered->path), sealedSize);

  ASSERT_FALSE((*writer)->finish());
  const std::vector<float> complete = decodedSamples(second);
  const std::vector<float> kept = decodedSamples(recovered->path);
  ASSERT_EQ(complete.size(), pcm.size() - 50000);
  // Lost: at most the second after the last fragment and the packets held back from it.
  EXPECT_GE(kept.size() + 48000 + 24 * 1024, complete.size());
  ASSERT_LE(kept.size(), complete.size());
  for (size_t s = 0; s < kept.size(); ++s) ASSERT_NEAR(kept[s], complete[s], 1e-6f) << s;
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);
}

}  // namespace
}  // namespace lumewell::media
