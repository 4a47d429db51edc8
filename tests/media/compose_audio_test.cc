#include "media/compose_audio.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "media/compose_test_files.h"
#include "support/main_loop_helpers.h"

namespace lumewell::media {
namespace {

using compose_test::dbfs;
using compose_test::decodeWithFfmpeg;
using compose_test::expectAacOutput;
using compose_test::fitTone;
using compose_test::Tone;
using compose_test::toneAmplitude;
using compose_test::worstSineFitResidual;
using compose_test::writeToneFile;
namespace fs = std::filesystem;

class ComposeAudioTest : public ::testing::Test {
 protected:
  void TearDown() override { cancelAllCompositions(); }
  std::string path(const std::string& name) const { return dir_.path() + "/" + name; }

  struct Outcome {
    OptionalError error;
    int calls = 0;
    bool onCallerThread = false;
  };

  // Runs one composition to its end and counts its completions.
  Outcome compose(std::vector<std::string> inputs, const std::string& output) {
    auto calls = std::make_shared<std::atomic<int>>(0);
    auto done = std::make_shared<std::promise<std::pair<OptionalError, bool>>>();
    const auto caller = std::this_thread::get_id();
    composeAudio(std::move(inputs), output, [=](OptionalError error) {
      if (calls->fetch_add(1) == 0) {
        done->set_value({std::move(error), std::this_thread::get_id() == caller});
      }
    });
    auto future = done->get_future();
    EXPECT_EQ(future.wait_for(std::chrono::minutes(5)), std::future_status::ready);
    auto [error, onCaller] = future.get();
    cancelAllCompositions();  // returns once the worker has left the job: all calls are in
    return Outcome{std::move(error), calls->load(), onCaller};
  }

  lumewell::testing::TempDir dir_;
};

// Frames of an output as ffmpeg decodes them, cut to the file's own duration.
compose_test::Pcm decodeExactly(const std::string& file, int channels, int64_t frames) {
  compose_test::Pcm pcm = decodeWithFfmpeg(file, channels);
  EXPECT_GE(pcm.frames(), static_cast<size_t>(frames)) << file;
  pcm.samples.resize(std::min(pcm.samples.size(), static_cast<size_t>(frames * channels)));
  return pcm;
}

// The inputs decoded and laid end to end as PCM: the best any composition can give. The
// encoder leaves some error at the hard start of every file; the join holds that, so the
// composition is measured against this reference, and its timing against the pure tone.
compose_test::Pcm concatenateDecoded(const std::vector<std::string>& files, int channels) {
  compose_test::Pcm all;
  all.channels = channels;
  for (const std::string& file : files) {
    const int64_t frames = compose_test::probe(file).count("duration_ts")
                               ? std::stoll(compose_test::probe(file)["duration_ts"])
                               : 0;
    compose_test::Pcm part = decodeExactly(file, channels, frames);
    all.samples.insert(all.samples.end(), part.samples.begin(), part.samples.end());
  }
  return all;
}

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
    writeToneFile(inputs.back(), 2, position, frames, Tone{1000, 0.5});
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

  compose_test::Pcm pcm = decodeExactly(output, 2, position);
  compose_test::Pcm reference = concatenateDecoded(inputs, 2);
  for (int c = 0; c < 2; ++c) {
    const std::vector<float> x = pcm.channel(c);
    const std::vector<float> ref = reference.channel(c);
    for (size_t j = 0; j < joins.size(); ++j) {
      const size_t join = static_cast<size_t>(joins[j]);
      EXPECT_NEAR(fitTone(x, join - 4096, join - 1024, 1000, 0.5).offsetSamples, 0, 0.05)
          << "before join " << j << " channel " << c;
      EXPECT_NEAR(fitTone(x, join + 3072, join + 6144, 1000, 0.5).offsetSamples, 0, 0.05)
          << "after join " << j << " channel " << c;
      EXPECT_LT(worstSineFitResidual(x, join - 3072, join + 3072, 1000, 0.5),
                worstSineFitResidual(ref, join - 3072, join + 3072, 1000, 0.5) + 0.01)
          << "join " << j << " channel " << c;
    }
    // No drift: at the very end the tone is still in phase with the continuous signal.
    EXPECT_NEAR(fitTone(x, position - 8192, position - 1024, 1000, 0.5).offsetSamples, 0, 0.05);
  }
}

TEST_F(ComposeAudioTest, SequenceIsStereoWhenAnyInputIsStereoAndMonoOnlyWhenAllAre) {
  writeToneFile(path("mono.m4a"), 1, 0, 24000);
  writeToneFile(path("stereo.m4a"), 2, 24000, 30000);
  Outcome mixed = compose({path("mono.m4a"), path("stereo.m4a")}, path("mixed.m4a"));
  ASSERT_FALSE(mixed.error);
  EXPECT_EQ(expectAacOutput(path("mixed.m4a"), 2), 54000);
  // The mono part plays in both channels at its own level.
  compose_test::Pcm pcm = decodeExactly(path("mixed.m4a"), 2, 54000);
  for (int c = 0; c < 2; ++c) {
    EXPECT_NEAR(dbfs(toneAmplitude(pcm.channel(c), 4800, 9600, 1000)), dbfs(0.5), 0.3);
  }
  Outcome mono = compose({path("mono.m4a"), path("mono.m4a")}, path("mono2.m4a"));
  ASSERT_FALSE(mono.error);
  EXPECT_EQ(expectAacOutput(path("mono2.m4a"), 1), 48000);
}

TEST_F(ComposeAudioTest, InputsWithoutAudioTrackFailASequence) {
  writeToneFile(path("seg0.m4a"), 1, 0, 24000);
  std::ofstream(path("not-audio.m4a")) << "this is no audio file";
  const std::string missing = path("missing.m4a");

  for (const std::string& bad : {path("not-audio.m4a"), missing}) {
    const std::string output = path("assembled.m4a");
    Outcome outcome = compose({path("seg0.m4a"), bad}, output);
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->domain, "LumewellRecorder");
    EXPECT_EQ(outcome.error->code, 11);
    EXPECT_EQ(outcome.error->localizedDescription, "Audio track missing for segment " + bad + ".");
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_FALSE(fs::exists(output));
  }

  // No input at all: there is nothing to export.
  Outcome empty = compose({}, path("none.m4a"));
  ASSERT_TRUE(empty.error);
  EXPECT_EQ(empty.error->code, 13);
  EXPECT_EQ(empty.error->localizedDescription, "Failed to create the audio exporter.");
  EXPECT_FALSE(fs::exists(path("none.m4a")));
}

TEST_F(ComposeAudioTest, OutputIsReplacedFoldersAreMadeAndInputsNeverChange) {
  writeToneFile(path("a.m4a"), 1, 0, 20000);
  writeToneFile(path("b.m4a"), 2, 0, 30000);
  const std::string before_a = compose_test::readFile(path("a.m4a"));
  const std::string before_b = compose_test::readFile(path("b.m4a"));

  const std::string output = path("out.m4a");
  std::ofstream(output) << "an older file at the output path";
  // What a composing process that died left beside the output goes with the next job.
  const pid_t dead = fork();
  if (dead == 0) _exit(0);
  ASSERT_GT(dead, 0);
  waitpid(dead, nullptr, 0);
  const std::string stale = path(".out.m4a.composing-" + std::to_string(dead) + "-0.m4a");
  std::ofstream(stale) << "half";
  for (int run = 0; run < 2; ++run) {
    Outcome outcome = compose({path("a.m4a"), path("b.m4a")}, output);
    ASSERT_FALSE(outcome.error);
    EXPECT_EQ(expectAacOutput(output, 2), 50000);
  }
  EXPECT_FALSE(fs::exists(stale));
  EXPECT_EQ(compose_test::readFile(path("a.m4a")), before_a);
  EXPECT_EQ(compose_test::readFile(path("b.m4a")), before_b);

  // The output named as one of the inputs would destroy that input: refused, input intact.
  Outcome self = compose({path("a.m4a"), path("b.m4a")}, path("b.m4a"));
  ASSERT_TRUE(self.error);
  EXPECT_EQ(self.calls, 1);
  EXPECT_EQ(compose_test::readFile(path("b.m4a")), before_b);

  // A parent that is a file cannot become a folder: the file system's error.
  std::ofstream(path("blocker")) << "x";
  Outcome blocked = compose({path("a.m4a"), path("b.m4a")}, path("blocker/sub/out.m4a"));
  ASSERT_TRUE(blocked.error);
  EXPECT_EQ(blocked.error->domain, "posix");
  EXPECT_EQ(blocked.calls, 1);

  // An existing output that cannot be removed (a non-empty folder) fails the same way.
  fs::create_directories(path("taken/inner"));
  Outcome taken = compose({path("a.m4a"), path("b.m4a")}, path("taken"));
  ASSERT_TRUE(taken.error);
  EXPECT_EQ(taken.error->domain, "posix");

  // No composing leftovers beside the outputs.
  for (const auto& entry : fs::directory_iterator(dir_.path())) {
    EXPECT_EQ(entry.path().filename().string().find(".composing"), std::string::npos);
  }
}

TEST_F(ComposeAudioTest, CancelledCompositionsEndWithErrorFourteenAndLeaveNoOutput) {
  // Long enough (minutes of audio) that cancelling lands while the encoder runs.
  writeToneFile(path("long.m4a"), 2, 0, 48000 * 20, Tone{1000, 0.5});
  std::vector<std::string> inputs(30, path("long.m4a"));

  auto calls = std::make_shared<std::atomic<int>>(0);
  auto done = std::make_shared<std::promise<OptionalError>>();
  std::shared_ptr<CompositionJob> job =
      composeAudio(inputs, path("one.m4a"), [=](OptionalError error) {
        if (calls->fetch_add(1) == 0) done->set_value(std::move(error));
      });
  // Cancel while the encoder writes: once the file being written shows up beside the output.
  auto writing = [&] {
    for (const auto& entry : fs::directory_iterator(dir_.path())) {
      if (entry.path().filename().string().find(".composing") != std::string::npos) return true;
    }
    return false;
  };
  for (int i = 0; i < 60000 && !writing(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_TRUE(writing());
  job->cancel();
  auto future = done->get_future();
  ASSERT_EQ(future.wait_for(std::chrono::minutes(2)), std::future_status::ready);
  OptionalError error = future.get();
  ASSERT_TRUE(error);
  EXPECT_EQ(*error, (Error{"LumewellRecorder", 14, "Recording assembly was cancelled."}));

  // Host shutdown: every running job is cancelled and has completed once cancelAll returns.
  auto shutdownCalls = std::make_shared<std::atomic<int>>(0);
  auto cancelled = std::make_shared<std::atomic<int>>(0);
  for (const char* name : {"two.m4a", "three.m4a"}) {
    composeAudio(inputs, path(name), [=](OptionalError e) {
      shutdownCalls->fetch_add(1);
      if (e && e->code == 14) cancelled->fetch_add(1);
    });
  }
  cancelAllCompositions();
  EXPECT_EQ(shutdownCalls->load(), 2);
  EXPECT_EQ(cancelled->load(), 2);
  EXPECT_EQ(calls->load(), 1);
  job->cancel();  // after the end: nothing happens
  EXPECT_EQ(calls->load(), 1);

  for (const auto& entry : fs::directory_iterator(dir_.path())) {
    EXPECT_EQ(entry.path().filename(), "long.m4a") << "left behind: " << entry.path();
  }
}

}  // namespace
}  // namespace lumewell::media
