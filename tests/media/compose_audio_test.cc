#include "media/compose_audio.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "media/compose_test_files.h"

namespace lumewell::media {
namespace {

using namespace compose_test;
namespace fs = std::filesystem;

// The worst residual of the tone fitted over 1024-sample windows sliding through [from, to):
// a lost or doubled sample anywhere inside shows in every window across it.
double worstSineFitResidual(const std::vector<float>& x, size_t from, size_t to) {
  double worst = 0;
  for (size_t s = from; s + 1024 <= std::min(to, x.size()); s += 32)
    worst = std::max(worst, fitTone(x, s, s + 1024, 1000, 0.5).residual);
  return worst;
}

class ComposeAudioTest : public ::testing::Test {
 protected:
  void TearDown() override { cancelAllCompositions(); }
  std::string path(const std::string& name) const { return dir_.path() + "/" + name; }
  bool leftovers() const {
    for (const auto& entry : fs::directory_iterator(dir_.path())) {
      if (entry.path().filename().string().find(".composing") != std::string::npos) return true;
    }
    return false;
  }
  TempDir dir_;
};

// Separately encoded files (each with its priming and padding) join with no sample of gap or
// overlap, no drift, and no more error at a join than the inputs hold themselves; the job
// answers once, off the caller's thread.
TEST_F(ComposeAudioTest, SequenceOfTenSegmentsOfDifferentLengthsHasNoGapOverlapOrDrift) {
  std::vector<std::string> inputs;
  std::vector<int64_t> joins;
  int64_t position = 0;
  for (int i = 0; i < 10; ++i) {
    const int64_t frames = 12000 + i * 4513 + (i % 3) * 517;  // whole AAC frames or not
    inputs.push_back(path("seg" + std::to_string(i) + ".m4a"));
    writeToneFile(inputs.back(), 2, position, frames);
    position += frames;
    joins.push_back(position);
  }
  joins.pop_back();
  const std::string output = path("deep/er/assembled.m4a");  // folders made on the way
  Outcome outcome = compose(inputs, output);
  ASSERT_FALSE(outcome.error) << outcome.error->localizedDescription;
  EXPECT_EQ(outcome.calls, 1);
  EXPECT_FALSE(outcome.onCallerThread);
  EXPECT_EQ(expectAacOutput(output, 2), position);

  // The inputs decoded and laid end to end are the best a join can give: the encoder leaves
  // some error at the hard start of every file.
  std::vector<std::vector<float>> reference(2);
  for (const std::string& input : inputs) {
    const auto part = decode(input, 2);
    for (int c = 0; c < 2; ++c)
      reference[c].insert(reference[c].end(), part[c].begin(), part[c].end());
  }
  const auto pcm = decode(output, 2);
  for (int c = 0; c < 2; ++c) {
    const std::vector<float>&x = pcm[c], &ref = reference[c];
    for (size_t j = 0; j < joins.size(); ++j) {
      const size_t join = static_cast<size_t>(joins[j]);
      SCOPED_TRACE("join " + std::to_string(j) + " channel " + std::to_string(c));
      EXPECT_NEAR(fitTone(x, join - 4096, join - 1024, 1000, 0.5).offsetSamples, 0, 0.05);
      EXPECT_NEAR(fitTone(x, join + 3072, join + 6144, 1000, 0.5).offsetSamples, 0, 0.05);
      EXPECT_LT(worstSineFitResidual(x, join - 3072, join + 3072),
                worstSineFitResidual(ref, join - 3072, join + 3072) + 0.01);
    }
    // No drift: at the very end the tone is still in phase with the continuous signal.
    EXPECT_NEAR(fitTone(x, position - 8192, position - 1024, 1000, 0.5).offsetSamples, 0, 0.05);
  }
}

TEST_F(ComposeAudioTest, OutputIsReplacedChannelsFollowTheInputsAndBadJobsAreRefused) {
  const std::string a = path("a.m4a"), b = path("b.m4a"), output = path("out.m4a");
  writeToneFile(a, 1, 0, 20000);
  writeToneFile(b, 2, 0, 30000);
  const std::string before_a = readFile(a), before_b = readFile(b);
  std::ofstream(output) << "an older file at the output path";
  // What a composing process that died left beside the output goes with the next job (no
  // process has an id at the kernel's limit).
  const std::string stale = path(".out.m4a.composing-4194304-0.m4a");
  std::ofstream(stale) << "half";
  for (int run = 0; run < 2; ++run) {
    ASSERT_FALSE(compose({a, b}, output).error);
    EXPECT_EQ(expectAacOutput(output, 2), 50000);  // stereo when any input is
  }
  EXPECT_FALSE(fs::exists(stale));
  // The mono part plays in both channels at its own level; mono inputs alone stay mono.
  const auto pcm = decode(output, 2);
  for (int c = 0; c < 2; ++c)
    EXPECT_NEAR(fitTone(pcm[c], 4800, 14400, 1000, 0.5).amplitude, 0.5, 0.02);
  ASSERT_FALSE(compose({a, a}, path("mono.m4a")).error);
  EXPECT_EQ(expectAacOutput(path("mono.m4a"), 1), 40000);

  // Refused, each answered once and writing nothing: an input that is no audio file or is not
  // there, no inputs; the output named as an input (it would destroy it), a parent that is a
  // file, an existing output that cannot be removed (a non-empty folder).
  std::ofstream(path("not-audio.m4a")) << "this is no audio file";
  std::ofstream(path("blocker")) << "x";
  fs::create_directories(path("taken/inner"));
  const auto noTrack = [](const std::string& input) {
    return Error{"LumewellRecorder", 11, "Audio track missing for segment " + input + "."};
  };
  // Each with the error expected whole, or only its domain (code 0), or any error.
  for (const auto& [inputs, out, want] :
       std::vector<std::tuple<std::vector<std::string>, std::string, Error>>{
           {{a, path("not-audio.m4a")}, path("x.m4a"), noTrack(path("not-audio.m4a"))},
           {{a, path("missing.m4a")}, path("x.m4a"), noTrack(path("missing.m4a"))},
           {{}, path("x.m4a"), {"LumewellRecorder", 13, "Failed to create the audio exporter."}},
           {{a, b}, b, {}},
           {{a, b}, path("blocker/sub/out.m4a"), {"posix"}},
           {{a, b}, path("taken"), {"posix"}}}) {
    Outcome outcome = compose(inputs, out);
    ASSERT_TRUE(outcome.error) << out;
    EXPECT_TRUE(want.code == 0 || *outcome.error == want) << outcome.error->localizedDescription;
    EXPECT_TRUE(want.domain.empty() || outcome.error->domain == want.domain) << out;
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_FALSE(fs::exists(path("x.m4a")));
  }
  EXPECT_EQ(readFile(a), before_a);
  EXPECT_EQ(readFile(b), before_b);
  EXPECT_FALSE(leftovers());
}

TEST_F(ComposeAudioTest, CancelledCompositionsEndWithErrorFourteenAndLeaveNoOutput) {
  // Long enough (minutes of audio) that cancelling lands while the encoder runs.
  writeToneFile(path("long.m4a"), 2, 0, 48000 * 20);
  const std::vector<std::string> inputs(30, path("long.m4a"));
  auto calls = std::make_shared<std::atomic<int>>(0);
  auto done = std::make_shared<std::promise<OptionalError>>();
  std::shared_ptr<CompositionJob> job =
      composeAudio(inputs, path("one.m4a"), [=](OptionalError error) {
        if (calls->fetch_add(1) == 0) done->set_value(std::move(error));
      });
  // Cancel while the encoder writes: once its file shows up beside the output.
  for (int i = 0; i < 60000 && !leftovers(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_TRUE(leftovers());
  job->cancel();
  auto future = done->get_future();
  ASSERT_EQ(future.wait_for(std::chrono::minutes(2)), std::future_status::ready);
  EXPECT_EQ(future.get(), (Error{"LumewellRecorder", 14, "Recording assembly was cancelled."}));

  // Host shutdown: every running job is cancelled and has completed once cancelAll returns.
  auto cancelled = std::make_shared<std::atomic<int>>(0);
  for (const char* name : {"two.m4a", "three.m4a"}) {
    composeAudio(inputs, path(name),
                 [=](OptionalError e) { cancelled->fetch_add(e && e->code == 14 ? 1 : 100); });
  }
  cancelAllCompositions();
  EXPECT_EQ(cancelled->load(), 2);
  job->cancel();  // after the end: nothing happens
  EXPECT_EQ(calls->load(), 1);
  for (const auto& entry : fs::directory_iterator(dir_.path())) {
    EXPECT_EQ(entry.path().filename(), "long.m4a") << "left behind: " << entry.path();
  }
}

}  // namespace
}  // namespace lumewell::media
