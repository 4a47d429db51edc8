// The media layer's files: writer, decoder, digest, composition, remux and recovery. Outputs
// are judged from outside through the ffmpeg and ffprobe programs.

#include <gmock/gmock.h>
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
using lumewell::testing::writeFile;
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
void writeAac(const std::string& path, int channels, const std::vector<float>& pcm) {
  auto writer = AacFileWriter::create(path, {48000, channels, 64000 * (channels + 1)});
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

// Matches decoded samples that are want[from, to) to the decoder's rounding, as many as those.
auto samplesOf(const std::vector<float>& want, size_t from, size_t to) {
  return ::testing::Pointwise(
      ::testing::FloatNear(1e-6f),
      std::vector<float>(want.begin() + std::ptrdiff_t(from), want.begin() + std::ptrdiff_t(to)));
}

// The file through the decoder under test in odd-sized pieces; a read error ends it.
std::vector<float> readAll(const std::string& path) {
  auto decoder = AudioDecoder::open(path);
  std::vector<float> all, piece(777 * 2);
  EXPECT_TRUE(decoder.ok() && *decoder) << path;
  for (Result<size_t> got = 777; decoder.ok() && *decoder && got.ok() && *got == 777;) {
    if ((got = (*decoder)->read(piece.data(), 777)))
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

// The worst residual of the tone fitted over 1024-sample windows sliding through [from, to):
// a lost or doubled sample anywhere inside shows in every window across it.
double worstSineFitResidual(const std::vector<float>& x, size_t from, size_t to) {
  double worst = 0;
  for (size_t s = from; s + 1024 <= std::min(to, x.size()); s += 32)
    worst = std::max(worst, fitTone(x, s, s + 1024).residual);
  return worst;
}

// Runs one composition to its end; whatever its outcome, it is answered exactly once and off
// the caller's thread.
OptionalError compose(std::vector<std::string> inputs, const std::string& output) {
  OptionalError error;
  int calls = 0;
  bool onCallerThread = false;
  std::promise<void> answered;
  const auto caller = std::this_thread::get_id();
  composeAudio(std::move(inputs), output, [&](OptionalError e) {
    if (calls++ > 0) return;
    error = std::move(e), onCallerThread = std::this_thread::get_id() == caller;
    answered.set_value();
  });
  EXPECT_EQ(answered.get_future().wait_for(std::chrono::minutes(5)), std::future_status::ready);
  cancelAllCompositions();  // returns once the worker has left the job: all calls are in
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(onCallerThread);
  return error;
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

// The composer's writer (its exact lengths show in every composition below): a silent right
// channel stays silent, NaN and out-of-range samples are clamped, never handed to the encoder.
// Durations are whole milliseconds, half away from zero; nothing written is a valid empty file.
TEST_F(MediaTest, AacWriterKeepsChannelsApartAndClamps) {
  writeAac(file("tone.m4a"), 2, tonePcm(0, 3 * 48000 + 333, 2, 0.5, 1));
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

// Another rate arrives at 48 kHz at its level and pitch; a damaged file ends cleanly; foreign
// files open as nothing. URLs, protocol prefixes, relative names, a FIFO (it would wait for a
// writer), a device, 1 Hz (each frame would be resampled 48000-fold) and 16 channels are
// refused, nothing contacted.
TEST_F(MediaTest, DecodingResamplesAndOpensOnlyWhatItCanBound) {
  lumewell::testing::LoopbackHttpServer server;
  const std::string tone = file("44k.m4a"), fifo = file("fifo.m4a");
  ffmpeg("-f lavfi -i sine=f=1000:r=44100:d=4 -c:a aac -movflags +faststart '" + tone + "'");
  const std::vector<float> x = readAll(tone);
  ASSERT_EQ(x.size(), 4u * 48000);                                       // mono, at 48 kHz
  EXPECT_NEAR(fitTone(x, 24000, 72000, 0.125).amplitude, 0.125, 0.005);  // ffmpeg's sine: 1/8
  // The index is in front: cut in half, the file has an index promising missing data. What
  // is there decodes; at most a second of silence stands in for the rest.
  const std::string whole = readFile(tone);
  writeFile(file("cut.m4a"), whole.substr(0, whole.size() / 2));
  const size_t cut = readAll(file("cut.m4a")).size();
  EXPECT_TRUE(cut >= 48000 && cut <= 3 * 48000) << cut;

  // The first 40 bytes of an MP4, a WAV file under an .m4a name (only the MP4 demuxer reads),
  // not there, a folder: no decoder, no duration, no error.
  writeFile(file("stub.m4a"), whole.substr(0, 40));
  ffmpeg("-f lavfi -i sine=d=1 -f wav " + file("wav.m4a"));
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path :
       {file("stub.m4a"), file("wav.m4a"), file("absent.m4a"), dir_.path()}) {
    Result<std::unique_ptr<AudioDecoder>> opened = AudioDecoder::open(path);
    EXPECT_TRUE(opened.ok() && !*opened && !mediaDurationMs(path)) << path;
  }
  for (const std::string& path :
       {server.url("/in.m4a"), "concat:" + tone + "|" + tone, "file:" + tone,
        std::string("44k.m4a"), fifo, std::string("/dev/zero")}) {
    Result<std::unique_ptr<AudioDecoder>> opened = AudioDecoder::open(path);
    ASSERT_FALSE(opened.ok()) << path;
    EXPECT_EQ(opened.error().domain, "posix");
    EXPECT_TRUE(opened.error().localizedDescription.starts_with("Refused to read " + path + ": "))
        << opened.error().localizedDescription;
    EXPECT_FALSE(mediaDurationMs(path)) << path;
  }
  EXPECT_EQ(server.requestCount("/in.m4a"), 0);
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
  writeFile(file("big"), big);
  EXPECT_EQ(sha256FileHex(file("big")).value(),
            commandOutput("sha256sum '" + file("big") + "'").substr(0, 64));
  EXPECT_FALSE(sha256FileHex(dir_.path()));
}

// Separately encoded files (each with its priming and padding) join with no gap, overlap or
// drift, no more error at a join than the inputs hold; a mono one plays in both channels at its
// own level (stereo when any input is), mono inputs alone stay mono. What a composing process
// that died left beside the output goes with the next job (no process has an id at the
// kernel's limit). Refused, writing nothing: an input that is no audio file; the output named
// as a later input (it would go).
TEST_F(MediaTest, ComposingSeparateFilesHasNoGapOverlapOrDriftAndRefusesBadJobs) {
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
  const OptionalError error = compose(inputs, output);
  ASSERT_FALSE(error) << error->localizedDescription;
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

  const std::string mono = file("mono.m4a"), stale = file(".mono.m4a.composing-4194304-0.m4a");
  writeFile(stale, "half");
  ASSERT_FALSE(compose({inputs[4], inputs[4]}, mono));
  EXPECT_EQ(durationOf(mono, 1), 2 * (joins[4] - joins[3]));
  EXPECT_FALSE(fs::exists(stale));
  writeFile(file("not-audio.m4a"), "this is no audio file");
  EXPECT_EQ(compose({mono, file("not-audio.m4a")}, file("x.m4a")),
            (Error{"LumewellRecorder", 11,
                   "Audio track missing for segment " + file("not-audio.m4a") + "."}));
  EXPECT_FALSE(fs::exists(file("x.m4a")));
  const std::string before = readFile(mono);
  EXPECT_TRUE(compose({inputs[4], mono}, mono));
  EXPECT_EQ(readFile(mono), before);
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
    v += static_cast<float>(0.2 * (double(seed >> 8) / (1 << 24) - 0.5));
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

// Cuts inside a packet, on a packet boundary (40960), early in the run and late: each file
// alone holds exactly its samples, decoded as the continuous encode decodes them; joined again
// by their packets they are the continuous encode's very samples (a re-encode could not give
// them), and as private as the recording whatever the umask.
TEST_F(MediaTest, ARunCutIntoFilesJoinsBackPacketForPacketAndOtherRunsAreReencoded) {
  const std::vector<float> pcm = noise(135000, 7);
  const std::vector<float> run(pcm.begin(), pcm.begin() + 90000),
      later(pcm.begin() + 90000, pcm.end());
  const std::vector<int64_t> cuts = {700, 20000, 40960, 61111};
  std::vector<std::string> files;
  for (int i = 0; i <= 4; ++i) files.push_back(file("00000") + std::to_string(i) + ".m4a");
  EXPECT_EQ(writeRun(run, files, cuts), cuts);
  writeRun(run, {file("continuous.m4a")}, {});
  const std::vector<float> whole = decode(file("continuous.m4a"), 1)[0];
  ASSERT_EQ(whole.size(), run.size());
  for (size_t i = 0, first = 0, end = 0; i < files.size(); ++i, first = end) {
    end = i < cuts.size() ? static_cast<size_t>(cuts[i]) : run.size();
    EXPECT_THAT(decode(files[i], 1)[0], samplesOf(whole, first, end)) << files[i];
  }
  const mode_t umask = ::umask(022);
  EXPECT_FALSE(compose(files, file("joined.m4a")));
  ::umask(umask);
  EXPECT_EQ(lumewell::testing::fileMode(file("joined.m4a")), 0600);
  EXPECT_TRUE(decode(file("joined.m4a"), 1)[0] == whole);

  // Files that do not continue each other are not remuxed, and nothing is written.
  for (const auto& pair : {std::vector{files[0], files[2]}, std::vector{files[1], files[0]}}) {
    const Result<bool> remuxed = remuxRun(pair, file("gap.m4a"), nullptr);
    EXPECT_TRUE(remuxed.ok() && !*remuxed && !fs::exists(file("gap.m4a"))) << pair[0];
  }

  // A second run (after a pause) joins re-encoded, each file through the decoder: the tone
  // keeps its phase across the join and the cut after it, no sample lost or doubled anywhere.
  files.insert(files.end(), {file("b0.m4a"), file("b1.m4a")});
  writeRun(later, {files[5], files[6]}, {12345});
  ASSERT_FALSE(compose(files, file("assembled.m4a")));
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

  ASSERT_FALSE((*writer)->finish());
  const std::vector<float> complete = decode(second, 1)[0], kept = decode(recovered->path, 1)[0];
  ASSERT_EQ(complete.size(), pcm.size() - 50000);
  // Lost: at most the half second after the last fragment and the packets held back from it.
  EXPECT_GE(kept.size() + 24000 + 24 * 1024, complete.size());
  EXPECT_THAT(kept, samplesOf(complete, 0, std::min(kept.size(), complete.size())));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator()), 2);

  // A second recovery of the same segment leaves the file under the final name and the part.
  fs::rename(crashed.path() + "/copy", part);
  writeFile(recovered->path, "sealed");
  EXPECT_FALSE(finalizePart(part));
  EXPECT_TRUE(fs::exists(part));
  EXPECT_EQ(readFile(recovered->path), "sealed");
}

}  // namespace
}  // namespace lumewell::media
