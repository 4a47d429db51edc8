#pragma once

// Shared by the media tests: tone files written with the product's AAC writer, and the
// outside view of an output through the ffmpeg and ffprobe programs.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <future>
#include <numbers>
#include <thread>

#include "media/aac_file_writer.h"
#include "media/audio_decoder.h"
#include "media/compose_audio.h"
#include "support/main_loop_helpers.h"
#include "support/process_runner.h"
#include "support/test_files.h"

namespace lumewell::media::compose_test {

using lumewell::testing::commandOutput;
using lumewell::testing::readFile;
using lumewell::testing::TempDir;

struct Tone {
  double frequency = 1000;
  double amplitude = 0.5;
};

// Interleaved frames of one continuous tone from sample `first` on, in every channel but
// `silent`; consecutive calls give consecutive pieces of it.
inline std::vector<float> tonePcm(int64_t first, size_t frames, int channels, Tone tone = {},
                                  int silent = -1) {
  std::vector<float> pcm(frames * static_cast<size_t>(channels), 0.0f);
  for (size_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(first + static_cast<int64_t>(i)) / 48000.0;
    const auto v =
        static_cast<float>(tone.amplitude * std::sin(2 * std::numbers::pi * tone.frequency * t));
    for (int c = 0; c < channels; ++c) pcm[i * channels + c] = c == silent ? 0.0f : v;
  }
  return pcm;
}

inline void writeToneFile(const std::string& path, int channels, int64_t first, int64_t frames,
                          Tone tone = {}) {
  auto writer =
      AacFileWriter::create(path, {.channels = channels, .bitRate = 64000 * (channels + 1)});
  ASSERT_TRUE(writer.ok()) << writer.error().localizedDescription;
  for (int64_t done = 0; done < frames; done += 48000) {
    const size_t n = static_cast<size_t>(std::min<int64_t>(48000, frames - done));
    ASSERT_FALSE((*writer)->write(tonePcm(first + done, n, channels, tone).data(), n));
  }
  ASSERT_FALSE((*writer)->finish());
}

inline void ffmpeg(const std::string& arguments) {
  ASSERT_EQ(std::system(("ffmpeg -v error -y " + arguments).c_str()), 0) << arguments;
}

// ffprobe's view of the first audio stream: "codec,profile,rate,channels,duration_ts", the
// last the samples the file says it holds, priming and padding excluded.
inline std::string probe(const std::string& path) {
  std::string fields = commandOutput(
      "ffprobe -v error -select_streams a:0 -show_entries "
      "stream=codec_name,profile,sample_rate,channels,duration_ts -of csv=p=0 '" +
      path + "'");
  return fields.substr(0, fields.find('\n'));
}

inline int64_t durationOf(const std::string& path) {
  const std::string fields = probe(path);
  return fields.empty() ? -1 : std::stoll(fields.substr(fields.rfind(',') + 1));
}

// What every output must be: AAC-LC at 48 kHz with the channel count, the index (moov) in
// front of the audio data (mdat). Answers duration_ts.
inline int64_t expectAacOutput(const std::string& path, int channels) {
  const std::string fields = probe(path), bytes = readFile(path);
  EXPECT_EQ(fields.substr(0, fields.rfind(',') + 1),
            "aac,LC,48000," + std::to_string(channels) + ",")
      << path;
  const size_t mdat = bytes.find("mdat");
  EXPECT_TRUE(mdat != std::string::npos && bytes.find("moov") < mdat) << path;
  return durationOf(path);
}

// Each channel decoded by the ffmpeg program, independent of the code under test, and cut to
// the file's duration_ts (ffmpeg drops the priming but may keep padding after the end).
inline std::vector<std::vector<float>> decode(const std::string& path, int channels) {
  const std::string raw = commandOutput("ffmpeg -v error -i '" + path + "' -f f32le -ac " +
                                        std::to_string(channels) + " -");
  const size_t frames = raw.size() / sizeof(float) / static_cast<size_t>(channels);
  const int64_t declared = durationOf(path);
  EXPECT_GE(static_cast<int64_t>(frames), declared) << path;
  std::vector<std::vector<float>> out(
      channels, std::vector<float>(declared < 0 ? frames : std::min(frames, size_t(declared))));
  for (size_t i = 0; i < out[0].size(); ++i)
    for (int c = 0; c < channels; ++c)
      std::memcpy(&out[c][i], raw.data() + (i * channels + c) * sizeof(float), sizeof(float));
  return out;
}

// Reads everything through the decoder under test in odd-sized pieces, as the sources do; a
// read error ends it cleanly.
inline std::vector<float> readAll(AudioDecoder& decoder) {
  std::vector<float> all, piece(777 * 2);
  for (Result<size_t> got = 777; got.ok() && *got == 777;) {
    got = decoder.read(piece.data(), 777);
    if (got)
      all.insert(all.end(), piece.begin(),
                 piece.begin() + std::ptrdiff_t(*got * decoder.info().channels));
  }
  return all;
}

struct ToneFit {
  double amplitude = 0;
  double offsetSamples = 0;  // delay against the continuous tone sin(w n) at absolute index n
  double residual = 0;       // RMS of what the fitted sine leaves, over the given amplitude
};

// Least-squares fit of a sin(w n) + b cos(w n), the frequency known, over x[from, to).
inline ToneFit fitTone(const std::vector<float>& x, size_t from, size_t to, double frequency,
                       double amplitude) {
  const double w = 2 * std::numbers::pi * frequency / 48000.0;
  double ss = 0, sc = 0, cc = 0, xs = 0, xc = 0, xx = 0;
  for (size_t i = from; i < to; ++i) {
    const double s = std::sin(w * double(i)), c = std::cos(w * double(i));
    ss += s * s, sc += s * c, cc += c * c, xs += x[i] * s, xc += x[i] * c, xx += x[i] * x[i];
  }
  const double det = ss * cc - sc * sc, a = (xs * cc - xc * sc) / det,
               b = (xc * ss - xs * sc) / det;
  // a sin(wn) + b cos(wn) = A sin(w (n - k)) with A cos(wk) = a, A sin(wk) = -b; what the fit
  // leaves is xx - a xs - b xc.
  return {std::hypot(a, b), std::atan2(-b, a) / w,
          std::sqrt(std::max(0.0, xx - a * xs - b * xc) / double(to - from)) / amplitude};
}

struct Outcome {
  OptionalError error;
  int calls = 0;
  bool onCallerThread = false;
};

// Runs one composition to its end and counts its completions.
inline Outcome compose(std::vector<std::string> inputs, const std::string& output) {
  auto calls = std::make_shared<std::atomic<int>>(0);
  auto done = std::make_shared<std::promise<std::pair<OptionalError, bool>>>();
  const auto caller = std::this_thread::get_id();
  composeAudio(std::move(inputs), output, [=](OptionalError error) {
    if (calls->fetch_add(1) == 0)
      done->set_value({std::move(error), std::this_thread::get_id() == caller});
  });
  auto future = done->get_future();
  EXPECT_EQ(future.wait_for(std::chrono::minutes(5)), std::future_status::ready);
  auto [error, onCaller] = future.get();
  cancelAllCompositions();  // returns once the worker has left the job: all calls are in
  return Outcome{std::move(error), calls->load(), onCaller};
}

}  // namespace lumewell::media::compose_test
