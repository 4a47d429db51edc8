// The media layer's files: writer, decoder, digest, composition, remux and recovery. Outputs
// are judged from outside through the ffmpeg and ffprobe programs.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <limits>
#include <numbers>
#include <thread>

#include "media/aac_file_writer.h"
#include "media/audio_decoder.h"
#include "media/compose_audio.h"
#include "media/media_probe.h"
#include "media/part_recovery.h"
#include "media/segment_files.h"
#include "media/segment_remux.h"
#include "media/segmented_aac_writer.h"
#include "media/sha256.h"
#include "support/loopback_http_server.h"
#include "support/main_loop_helpers.h"
#include "support/process_runner.h"
#include "support/test_files.h"

namespace lumewell::media {
namespace {

using lumewell::testing::commandOutput;
using lumewell::testing::readFile;
using lumewell::testing::TempDir;
namespace fs = std::filesystem;

// Interleaved frames of one continuous 1 kHz tone from sample `first` on, in every channel but
// `silent`; consecutive calls give consecutive pieces of it.
std::vector<float> tonePcm(int64_t first, size_t frames, int channels, double amplitude = 0.5,
                           int silent = -1) {
  std::vector<float> pcm(frames * static_cast<size_t>(channels), 0.0f);
  for (size_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(first + static_cast<int64_t>(i)) / 48000.0;
    const auto v = static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * 1000 * t));
    for (int c = 0; c < channels; ++c) pcm[i * channels + c] = c == silent ? 0.0f : v;
  }
  return pcm;
}

// Interleaved pcm through the product's writer in uneven chunks, as a capture delivers it.
void writeAac(const std::string& path, int channels, const std::vector<float>& pcm,
              bool fastStart = false) {
  auto writer = AacFileWriter::create(path, {48000, channels, 64000 * (channels + 1), fastStart});
  ASSERT_TRUE(writer.ok()) << writer.error().localizedDescription;
  const size_t chunks[] = {1, 959, 960, 1024, 4097, 333}, frames = pcm.size() / channels;
  for (size_t k = 0, at = 0, n = 0; at < frames; ++k, at += n) {
    n = std::min(chunks[k % std::size(chunks)], frames - at);
    ASSERT_FALSE((*writer)->write(pcm.data() + at * channels, n));
  }
  ASSERT_FALSE((*writer)->finish());
}

void ffmpeg(const std::string& arguments) {
  ASSERT_EQ(std::system(("ffmpeg -v error -y " + arguments).c_str()), 0) << arguments;
}

// ffprobe's duration_ts of the first audio stream: the samples the file says it holds, priming
// and padding excluded (-1: none). Given channels, the file must be AAC-LC at 48 kHz with that
// many, the index (moov) in front of the audio data (mdat).
int64_t durationOf(const std::string& path, int channels = 0) {
  std::string fields = commandOutput(
      "ffprobe -v error -select_streams a:0 -show_entries "
      "stream=codec_name,profile,sample_rate,channels,duration_ts -of csv=p=0 '" +
      path + "'");
  fields.resize(std::min(fields.size(), fields.find('\n')));
  if (channels > 0) {
    const std::string bytes = readFile(path);
    EXPECT_EQ(fields.substr(0, fields.rfind(',') + 1),
              "aac,LC,48000," + std::to_string(channels) + ",");
    EXPECT_LT(bytes.find("moov"), bytes.find("mdat")) << path;
  }
  return fields.empty() ? -1 : std::stoll(fields.substr(fields.rfind(',') + 1));
}

// Each channel decoded by the ffmpeg program, independent of the code under test, and cut to
// the file's duration_ts (ffmpeg drops the priming but may keep padding after the end).
std::vector<std::vector<float>> decode(const std::string& path, int channels) {
  const std::string raw = commandOutput("ffmpeg -v error -i '" + path + "' -f f32le -ac " +
                                        std::to_string(channels) + " -");
  std::vector<float> all(raw.size() / sizeof(float));
  if (!all.empty()) std::memcpy(all.data(), raw.data(), all.size() * sizeof(float));
  const int64_t declared = durationOf(path);  // -1 (none): all frames
  EXPECT_GE(std::ssize(all) / channels, declared) << path;
  std::vector<std::vector<float>> out(channels);
  for (size_t i = 0; i < std::min(all.size() / channels, size_t(declared)) * channels; ++i)
    out[i % channels].push_back(all[i]);
  return out;
}

// The file through the decoder under test in odd-sized pieces; a read error ends it.
std::vector<float> readAll(const std::string& path) {
  auto decoder = AudioDecoder::open(path);
  std::vector<float> all, piece(777 * 2);
  EXPECT_TRUE(decoder.ok() && *decoder) << path;
  for (Result<size_t> got = 777; decoder.ok() && *decoder && got.ok() && *got == 777;) {
    got = (*decoder)->read(piece.data(), 777);
    if (got)
      all.insert(all.end(), piece.begin(),
                 piece.begin() + std::ptrdiff_t(*got * (*decoder)->info().channels));
  }
  return all;
}

struct ToneFit {
  double amplitude = 0;
  double offsetSamples = 0;  // delay against the continuous tone sin(w n) at absolute index n
  double residual = 0;       // RMS of what the fitted sine leaves, over the given amplitude
};

// Least-squares fit of a sin(w n) + b cos(w n), w that of 1 kHz, over x[from, to).
ToneFit fitTone(const std::vector<float>& x, size_t from, size_t to, double amplitude = 0.5) {
  const double w = 2 * std::numbers::pi * 1000 / 48000.0;
  double ss = 0, sc = 0, cc = 0, xs = 0, xc = 0, xx = 0;
  for (size_t i = from; i < to; ++i) {
    const double s = std::sin(w * double(i)), c = std::cos(w * double(i));
    ss += s * s, sc += s * c, cc += c * c, xs += x[i] * s, xc += x[i] * c, xx += x[i] * x[i];
  }
  const double det = ss * cc - sc * sc, a = (xs * cc - xc * sc) / det,
               b = (xc * ss - xs * sc) / det;
  return {std::hypot(a, b), std::atan2(-b, a) / w,
          std::sqrt(std::max(0.0, xx - a * xs - b * xc) / double(to - from)) / amplitude};
}

struct Outcome {
  OptionalError error;
  int calls = 0;
  bool onCallerThread = false;
};

// Runs one composition to its end and counts its completions.
Outcome compose(std::vector<std::string> inputs, const std::string& output) {
  Outcome outcome;
  std::promise<void> answered;
  const auto caller = std::this_thread::get_id();
  composeAudio(std::move(inputs), output, [&](OptionalError error) {
    if (outcome.calls++ > 0) return;
    outcome = {std::move(error), 1, std::this_thread::get_id() == caller};
    answered.set_value();
  });
  EXPECT_EQ(answered.get_future().wait_for(std::chrono::minutes(5)), std::future_status::ready);
  cancelAllCompositions();  // returns once the worker has left the job: all calls are in
  return outcome;
}

class MediaTest : public ::testing::Test {
 protected:
  void TearDown() override { cancelAllCompositions(); }
  std::string file(const std::string& name) const { return dir_.path() + "/" + name; }
  bool leftovers() const {
    return std::ranges::any_of(fs::directory_iterator(dir_.path()), [](const auto& entry) {
      return entry.path().filename().string().find(".composing") != std::string::npos;
    });
  }
  TempDir dir_;
};

// The composer's writer: a length off the 1024-frame AAC frame counts exactly, a silent right
// channel stays silent, NaN and out-of-range samples are clamped, never handed to the encoder.
// Durations are whole milliseconds, half away from zero; nothing written is a valid empty file.
TEST_F(MediaTest, AacWriterFilesHoldExactlyTheirSamplesClamped) {
  const size_t frames = 3 * 48000 + 333;
  writeAac(file("tone.m4a"), 2, tonePcm(0, frames, 2, 0.5, 1), true);
  EXPECT_EQ(durationOf(file("tone.m4a"), 2), int64_t(frames));
  const auto decoded = decode(file("tone.m4a"), 2);
  EXPECT_NEAR(fitTone(decoded[0], 4800, 100800).amplitude, 0.5, 0.01);
  const ToneFit right = fitTone(decoded[1], 4800, 100800);
  EXPECT_LT(right.amplitude + right.residual, 0.01);  // nothing at all in the silent channel

  std::vector<float> pcm = tonePcm(0, 48000, 1, 8.0);
  for (size_t i = 0; i < pcm.size(); i += 7) pcm[i] = std::numeric_limits<float>::quiet_NaN();
  for (size_t i = 3; i < pcm.size(); i += 11) pcm[i] = std::numeric_limits<float>::infinity();
  writeAac(file("hot.m4a"), 1, pcm);
  const std::vector<float> hot = decode(file("hot.m4a"), 1)[0];
  EXPECT_TRUE(std::all_of(hot.begin(), hot.end(), [](float v) { return std::isfinite(v); }));
  EXPECT_NEAR(fitTone(hot, 4800, 40000).amplitude, 1.0, 0.3);  // clamped to full scale, not 8

  for (const auto& [length, ms] :
       {std::pair{48024, 1001}, std::pair{48019, 1000}, std::pair{0, 0}}) {
    const std::string path = file(std::to_string(length) + ".m4a");
    writeAac(path, 1, std::vector<float>(length));
    EXPECT_EQ(mediaDurationMs(path).value_or(-1), ms) << length << " frames";
  }
}

// A damaged file ends cleanly; foreign files open as nothing; URLs, protocol prefixes, relative
// names, a FIFO (it would wait for a writer) and a device are refused unopened, nothing contacted.
TEST_F(MediaTest, OnlyAbsoluteLocalRegularMp4FilesAreOpenedAndNothingElseIsContacted) {
  lumewell::testing::LoopbackHttpServer server;
  const std::string tone = file("tone.m4a"), cut = file("cut.m4a"), stub = file("stub.m4a"),
                    wav = file("wav.m4a"), fifo = file("fifo.m4a");
  ffmpeg("-f lavfi -i sine=f=1000:r=48000:d=3 -ac 2 -c:a aac -movflags +faststart " + tone);
  // The index is in front: cut short, the file has an index promising missing data.
  const std::string whole = readFile(tone);
  lumewell::testing::writeFile(cut, whole.substr(0, whole.size() / 2));
  EXPECT_LE(readAll(cut).size(), 2u * 48000 * 3);

  // The first 40 bytes of an MP4, a WAV file under an .m4a name (only the MP4 demuxer reads),
  // not there, a folder: no decoder, no duration, no error.
  lumewell::testing::writeFile(stub, whole.substr(0, 40));
  ffmpeg("-f lavfi -i sine=d=1 -f wav " + wav);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {stub, wav, file("absent.m4a"), dir_.path()}) {
    Result<std::unique_ptr<AudioDecoder>> opened = AudioDecoder::open(path);
    EXPECT_TRUE(opened.ok() && !*opened && !mediaDurationMs(path)) << path;
  }
  for (const std::string& path :
       {server.url("/in.m4a"), "concat:" + tone + "|" + tone, "file:" + tone,
        std::string("tone.m4a"), fifo, std::string("/dev/zero")}) {
    Result<std::unique_ptr<AudioDecoder>> opened = AudioDecoder::open(path);
    const std::string refusal = "posix Refused to read " + path + ": ";
    ASSERT_FALSE(opened.ok()) << path;
    EXPECT_EQ((opened.error().domain + " " + opened.error().localizedDescription)
                  .substr(0, refusal.size()),
              refusal);
    EXPECT_FALSE(mediaDurationMs(path)) << path;
  }
  EXPECT_EQ(server.requestCount("/in.m4a"), 0);
}

// Another rate arrives at 48 kHz at its level and pitch; 1 Hz (each frame would be resampled
// 48000-fold) and 16 channels are refused.
TEST_F(MediaTest, DecodingResamplesAndRefusesWhatItCannotBound) {
  ffmpeg("-f lavfi -i sine=f=1000:r=44100:d=2 -c:a aac '" + file("44k.mov") + "'");
  const std::vector<float> x = readAll(file("44k.mov"));
  ASSERT_EQ(x.size(), 96000u);                                           // mono, 2 s at 48 kHz
  EXPECT_NEAR(fitTone(x, 24000, 72000, 0.125).amplitude, 0.125, 0.005);  // ffmpeg's sine: 1/8
  for (const auto& [source, what] :
       {std::pair{"sine=r=8000:d=1,asetrate=1", "1 Hz"},
        std::pair{"sine=d=1 -af aformat=channel_layouts=hexadecagonal", "16 channels"}}) {
    const std::string path = file(std::string(what) + ".mov");
    ffmpeg("-f lavfi -i " + std::string(source) + " -c:a pcm_s16le '" + path + "'");
    auto refused = AudioDecoder::open(path);
    ASSERT_FALSE(refused.ok()) << path;
    EXPECT_NE(refused.error().localizedDescription.find(what), std::string::npos)
        << refused.error().localizedDescription;
  }
}

// Larger than a read block, every byte value, against the system's tool; a folder is an error,
// never a digest.
TEST_F(MediaTest, Sha256DigestsWholeFiles) {
  std::string big(3 * 1024 * 1024 + 17, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131) ^ (i >> 9));
  lumewell::testing::writeFile(file("big"), big);
  EXPECT_EQ(sha256FileHex(file("big")).value(),
            commandOutput("sha256sum '" + file("big") + "'").substr(0, 64));
  EXPECT_FALSE(sha256FileHex(dir_.path()));
}

// The worst residual of the tone fitted over 1024-sample windows sliding through [from, to):
// a lost or doubled sample anywhere inside shows in every window across it.
double worstSineFitResidual(const std::vector<float>& x, size_t from, size_t to) {
  double worst = 0;
  for (size_t s = from; s + 1024 <= std::min(to, x.size()); s += 32)
    worst = std::max(worst, fitTone(x, s, s + 1024).residual);
  return worst;
}

// Separately encoded files (each with its priming and padding) join with no gap, overlap or
// drift, no more error at a join than the inputs hold; a mono one plays in both channels at its
// own level (stereo when any input is). Answered once, off the caller's thread.
TEST_F(MediaTest, ComposingTenSegmentsOfDifferentLengthsHasNoGapOverlapOrDrift) {
  std::vector<std::string> inputs;
  std::vector<int64_t> joins;  // where each input ends
  for (int i = 0; i < 10; ++i) {
    const int64_t at = joins.empty() ? 0 : joins.back(), frames = 12000 + i * 4513 + (i % 3) * 517;
    inputs.push_back(file("seg" + std::to_string(i) + ".m4a"));
    // Whole AAC frames or not; the fifth mono.
    writeAac(inputs.back(), i == 4 ? 1 : 2, tonePcm(at, frames, i == 4 ? 1 : 2));
    joins.push_back(at + frames);
  }
  const int64_t position = joins.back();
  const std::string output = file("deep/er/assembled.m4a");  // folders made on the way
  Outcome outcome = compose(inputs, output);
  ASSERT_FALSE(outcome.error) << outcome.error->localizedDescription;
  EXPECT_EQ(outcome.calls, 1);
  EXPECT_FALSE(outcome.onCallerThread);
  EXPECT_EQ(durationOf(output, 2), position);

  // The inputs decoded end to end: the best a join can give (each file starts hard).
  std::vector<std::vector<float>> reference(2);
  for (size_t i = 0; i < inputs.size(); ++i) {
    const auto part = decode(inputs[i], i == 4 ? 1 : 2);
    for (size_t c = 0; c < 2; ++c)  // a mono input's one channel in both
      reference[c].insert(reference[c].end(), part[c % part.size()].begin(),
                          part[c % part.size()].end());
  }
  const auto pcm = decode(output, 2);
  for (int c = 0; c < 2; ++c) {
    const std::vector<float>&x = pcm[c], &ref = reference[c];
    for (size_t j = 0; j + 1 < joins.size(); ++j) {
      const size_t join = static_cast<size_t>(joins[j]);
      SCOPED_TRACE("join " + std::to_string(j) + " channel " + std::to_string(c));
      EXPECT_NEAR(fitTone(x, join - 4096, join - 1024).offsetSamples, 0, 0.05);
      EXPECT_NEAR(fitTone(x, join + 3072, join + 6144).offsetSamples, 0, 0.05);
      EXPECT_LT(worstSineFitResidual(x, join - 3072, join + 3072),
                worstSineFitResidual(ref, join - 3072, join + 3072) + 0.01);
    }
    // No drift: at the very end the tone is still in phase with the continuous signal.
    EXPECT_NEAR(fitTone(x, position - 8192, position - 1024).offsetSamples, 0, 0.05);
    EXPECT_NEAR(fitTone(x, joins[3] + 2048, joins[4] - 2048).amplitude, 0.5, 0.02);  // mono
  }
}

// Mono inputs alone stay mono; what a composing process that died left beside the output goes
// with the next job (no process has an id at the kernel's limit). Answered once, writing
// nothing: an input that is no audio file; the output named as a later input (it would go).
TEST_F(MediaTest, MonoStaysMonoAndBadJobsAreRefusedChangingNothing) {
  const std::string a = file("a.m4a"), output = file("out.m4a");
  const std::string stale = file(".out.m4a.composing-4194304-0.m4a");
  writeAac(a, 1, tonePcm(0, 20000, 1));
  std::ofstream(stale) << "half";
  ASSERT_FALSE(compose({a, a}, output).error);
  EXPECT_EQ(durationOf(output, 1), 40000);
  EXPECT_FALSE(fs::exists(stale));

  std::ofstream(file("not-audio.m4a")) << "this is no audio file";
  Outcome outcome = compose({a, file("not-audio.m4a")}, file("x.m4a"));
  EXPECT_EQ(outcome.error,
            (Error{"LumewellRecorder", 11,
                   "Audio track missing for segment " + file("not-audio.m4a") + "."}));
  EXPECT_EQ(outcome.calls, 1);
  EXPECT_FALSE(fs::exists(file("x.m4a")));
  const std::string before = readFile(output);
  outcome = compose({a, output}, output);
  EXPECT_TRUE(outcome.error && outcome.calls == 1);
  EXPECT_EQ(readFile(output), before);
  EXPECT_FALSE(leftovers());
}

// Host shutdown cancels every job, running or waiting: each has answered error 14 exactly once
// when cancelAllCompositions returns, and left nothing behind.
TEST_F(MediaTest, CancelledCompositionsEndWithErrorFourteenAndLeaveNoOutput) {
  writeAac(file("long.m4a"), 2, tonePcm(0, 48000 * 20, 2));  // 30 of them: minutes to encode
  const std::vector<std::string> inputs(30, file("long.m4a"));
  const Error kCancelled{"LumewellRecorder", 14, "Recording assembly was cancelled."};
  auto cancelled = std::make_shared<std::atomic<int>>(0);
  for (const char* name : {"one.m4a", "two.m4a"})
    composeAudio(inputs, file(name),
                 [=](OptionalError e) { cancelled->fetch_add(e == kCancelled ? 1 : 100); });
  for (int i = 0; i < 60000 && !leftovers(); ++i)  // cancelled while the encoder writes
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_TRUE(leftovers());
  cancelAllCompositions();
  EXPECT_EQ(cancelled->load(), 2);
  for (const auto& entry : fs::directory_iterator(dir_.path()))
    EXPECT_EQ(entry.path().filename(), "long.m4a") << "left behind: " << entry.path();
}

// A reproducible noise (with a tone in it, for the phase checks of the re-encode).
std::vector<float> noise(size_t frames, uint32_t seed) {
  std::vector<float> pcm = tonePcm(0, frames, 1, 0.3);
  for (float& v : pcm) {
    seed = seed * 1664525u + 1013904223u;
    v += static_cast<float>(0.2 * (static_cast<double>(seed >> 8) / (1 << 24) - 0.5));
  }
  return pcm;
}

// Writes pcm as one run in uneven blocks, cutting at each of cuts into the next of paths. A
// cut is asked for before the encoder got there, or a little after (the timer late).
std::vector<int64_t> writeRun(const std::vector<float>& pcm, const std::vector<std::string>& paths,
                              const std::vector<int64_t>& cuts) {
  auto writer = SegmentedAacWriter::create(paths[0], {}, makeRunId());
  EXPECT_TRUE(writer) << writer.error().localizedDescription;
  std::vector<int64_t> placed;
  const size_t blocks[] = {960, 4097, 1, 2048, 333};
  for (size_t k = 0, at = 0, n = 0; at < pcm.size(); ++k, at += n) {
    n = std::min(blocks[k % std::size(blocks)], pcm.size() - at);
    EXPECT_FALSE((*writer)->write(pcm.data() + at, n));
    const size_t next = placed.size();
    if (next < cuts.size() && int64_t(at + n) + (next % 2 ? -3000 : 2500) >= cuts[next]) {
      auto cut = (*writer)->cut(cuts[next], paths[next + 1]);
      EXPECT_TRUE(cut) << cut.error().localizedDescription;
      placed.push_back(cut ? *cut : -1);
    }
  }
  EXPECT_FALSE((*writer)->finish());
  return placed;
}

TEST_F(MediaTest, ARunCutIntoFilesJoinsBackPacketForPacketAndOtherRunsAreReencoded) {
  const std::vector<float> pcm = noise(135000, 7);
  const std::vector<float> run(pcm.begin(), pcm.begin() + 90000),
      later(pcm.begin() + 90000, pcm.end());
  // Cuts inside a packet, on a packet boundary (40960), early in the run and late.
  const std::vector<int64_t> cuts = {700, 20000, 40960, 61111};
  std::vector<std::string> files;
  for (int i = 0; i <= 4; ++i) files.push_back(file("00000") + std::to_string(i) + ".m4a");
  EXPECT_EQ(writeRun(run, files, cuts), cuts);
  writeRun(run, {file("continuous.m4a")}, {});

  // Each file alone holds exactly its samples, decoded as the continuous encode decodes them.
  const std::vector<float> whole = decode(file("continuous.m4a"), 1)[0];
  ASSERT_EQ(whole.size(), run.size());
  size_t first = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    const size_t end = i < cuts.size() ? static_cast<size_t>(cuts[i]) : run.size();
    const std::vector<float> alone = decode(files[i], 1)[0];
    ASSERT_EQ(alone.size(), end - first) << files[i];
    for (size_t s = 0; s < alone.size(); ++s)
      ASSERT_NEAR(alone[s], whole[first + s], 1e-6f) << files[i] << " sample " << s;
    first = end;
  }

  // Joined again by their packets: the continuous encode's very samples (a re-encode could not
  // give them), and as private as the recording whatever the umask.
  const std::string joined = file("joined.m4a");
  const mode_t umask = ::umask(022);
  const bool failed = compose(files, joined).error.has_value();
  ::umask(umask);
  ASSERT_FALSE(failed);
  EXPECT_EQ(lumewell::testing::fileMode(joined), 0600);
  EXPECT_TRUE(decode(joined, 1)[0] == whole);

  // Files that do not continue each other are not remuxed.
  EXPECT_FALSE(*remuxRun({files[0], files[2]}, file("gap.m4a"), nullptr));
  EXPECT_FALSE(*remuxRun({files[1], files[0]}, file("swapped.m4a"), nullptr));
  EXPECT_FALSE(fs::exists(file("gap.m4a")));

  // A second run (after a pause) joins re-encoded, each file through the decoder: the tone
  // keeps its phase across the join and the cut after it, no sample lost or doubled anywhere.
  files.insert(files.end(), {file("b0.m4a"), file("b1.m4a")});
  writeRun(later, {files[5], files[6]}, {12345});
  ASSERT_FALSE(compose(files, file("assembled.m4a")).error);
  const std::vector<float> out = decode(file("assembled.m4a"), 1)[0];
  ASSERT_EQ(out.size(), pcm.size());
  for (size_t join : {size_t{90000}, size_t{90000 + 12345}}) {
    EXPECT_NEAR(fitTone(out, join - 6000, join - 1000, 0.3).offsetSamples, 0, 0.25) << join;
    EXPECT_NEAR(fitTone(out, join + 1000, join + 6000, 0.3).offsetSamples, 0, 0.25) << join;
  }
}

// While a file records only its part is on the disk, a fragment a half second; a crash's part
// recovers up to its last whole fragment, decoded exactly as the complete file. The final name
// only ever holds a complete file, never replaced.
TEST_F(MediaTest, AnInterruptedFileRecoversFromItsPartUpToItsLastWholeFragment) {
  TempDir crashed;
  const std::vector<float> pcm = noise(48000 * 4 + 123, 11);
  const std::string first = file("000000.m4a"), second = file("000001.m4a");
  auto writer = SegmentedAacWriter::create(first, {}, makeRunId());
  ASSERT_TRUE(writer) << writer.error().localizedDescription;
  ASSERT_FALSE((*writer)->write(pcm.data(), 60000));
  ASSERT_TRUE((*writer)->cut(50000, second));
  ASSERT_FALSE((*writer)->write(pcm.data() + 60000, pcm.size() - 60000));
  EXPECT_TRUE(fs::exists(first));
  EXPECT_FALSE(fs::exists(partPathFor(first)) || fs::exists(stagingPathFor(first)));
  EXPECT_FALSE(fs::exists(second));
  EXPECT_EQ(lumewell::testing::fileMode(partPathFor(second)), 0600);

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
  const std::vector<float> complete = decode(second, 1)[0];
  const std::vector<float> kept = decode(recovered->path, 1)[0];
  ASSERT_EQ(complete.size(), pcm.size() - 50000);
  // Lost: at most the half second after the last fragment and the packets held back from it.
  EXPECT_GE(kept.size() + 24000 + 24 * 1024, complete.size());
  ASSERT_LE(kept.size(), complete.size());
  for (size_t s = 0; s < kept.size(); ++s) ASSERT_NEAR(kept[s], complete[s], 1e-6f) << s;
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator()), 2);
}

}  // namespace
}  // namespace lumewell::media
