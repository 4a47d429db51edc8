#pragma once

// Helpers of the composition tests: tone files written with the product's AAC writer, and
// the outside view of an output through the ffmpeg and ffprobe programs.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "media/aac_file_writer.h"
#include "support/process_runner.h"
#include "support/test_files.h"

namespace lumewell::media::compose_test {

inline constexpr double kPi = 3.14159265358979323846;

struct Tone {
  double frequency = 1000;
  double amplitude = 0.5;
};

// Writes frames of the tone starting at sample index `first` of one continuous signal, so
// consecutive files hold consecutive pieces of it. Every channel carries the same tone.
inline void writeToneFile(const std::string& path, int channels, int64_t first, int64_t frames,
                          Tone tone = {}, int bitRate = 0) {
  AacWriterSettings settings;
  settings.channels = channels;
  settings.bitRate = bitRate > 0 ? bitRate : (channels == 1 ? 128000 : 192000);
  auto writer = AacFileWriter::create(path, settings);
  ASSERT_TRUE(writer.ok()) << writer.error().localizedDescription;
  std::vector<float> block;
  for (int64_t done = 0; done < frames;) {
    const int64_t n = std::min<int64_t>(4096, frames - done);
    block.assign(static_cast<size_t>(n * channels), 0.0f);
    for (int64_t i = 0; i < n; ++i) {
      const double t = static_cast<double>(first + done + i) / 48000.0;
      const float v = static_cast<float>(tone.amplitude * std::sin(2 * kPi * tone.frequency * t));
      for (int c = 0; c < channels; ++c) block[static_cast<size_t>(i * channels + c)] = v;
    }
    ASSERT_FALSE((*writer)->write(block.data(), static_cast<size_t>(n)));
    done += n;
  }
  ASSERT_FALSE((*writer)->finish());
}

using lumewell::testing::commandOutput;
using lumewell::testing::readFile;

inline std::string quoted(const std::string& path) { return "'" + path + "'"; }

// ffprobe's view of the first audio stream: codec_name, profile, sample_rate, channels,
// duration_ts (the samples the file says it holds, priming and padding excluded).
inline std::map<std::string, std::string> probe(const std::string& path) {
  std::map<std::string, std::string> fields;
  std::istringstream lines(
      commandOutput("ffprobe -v error -select_streams a:0 -show_entries "
                    "stream=codec_name,profile,sample_rate,channels,duration_ts -of default=nw=1 " +
                    quoted(path)));
  for (std::string line; std::getline(lines, line);) {
    const auto eq = line.find('=');
    if (eq != std::string::npos) fields[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return fields;
}

// The order of the top-level boxes of an MPEG-4 file.
inline std::vector<std::string> topLevelBoxes(const std::string& path) {
  std::vector<std::string> boxes;
  std::ifstream in(path, std::ios::binary);
  for (;;) {
    unsigned char header[16];
    if (!in.read(reinterpret_cast<char*>(header), 8)) break;
    uint64_t size = (uint64_t{header[0]} << 24) | (uint64_t{header[1]} << 16) |
                    (uint64_t{header[2]} << 8) | header[3];
    boxes.emplace_back(reinterpret_cast<char*>(header) + 4, 4);
    uint64_t headerSize = 8;
    if (size == 1) {
      if (!in.read(reinterpret_cast<char*>(header) + 8, 8)) break;
      size = 0;
      for (int i = 8; i < 16; ++i) size = (size << 8) | header[i];
      headerSize = 16;
    }
    if (size == 0 || size < headerSize) break;
    in.seekg(static_cast<std::streamoff>(size - headerSize), std::ios::cur);
  }
  return boxes;
}

// Checks what every composition output must be: AAC-LC at 48 kHz with the channel count,
// the index (moov) in front of the audio data (mdat). Answers duration_ts.
inline int64_t expectAacOutput(const std::string& path, int channels) {
  auto fields = probe(path);
  EXPECT_EQ(fields["codec_name"], "aac") << path;
  EXPECT_EQ(fields["profile"], "LC") << path;
  EXPECT_EQ(fields["sample_rate"], "48000") << path;
  EXPECT_EQ(fields["channels"], std::to_string(channels)) << path;
  auto boxes = topLevelBoxes(path);
  auto moov = std::find(boxes.begin(), boxes.end(), "moov");
  auto mdat = std::find(boxes.begin(), boxes.end(), "mdat");
  EXPECT_TRUE(moov != boxes.end() && mdat != boxes.end() && moov < mdat) << path;
  return fields.count("duration_ts") ? std::stoll(fields["duration_ts"]) : -1;
}

struct Pcm {
  int channels = 0;
  std::vector<float> samples;  // interleaved
  size_t frames() const { return channels ? samples.size() / static_cast<size_t>(channels) : 0; }
  std::vector<float> channel(int c) const {
    std::vector<float> out(frames());
    for (size_t i = 0; i < out.size(); ++i) out[i] = samples[i * channels + c];
    return out;
  }
};

// Decodes with the ffmpeg program: independent of the code under test. It drops the priming
// like any decoder but may keep padding after the end, so lengths come from duration_ts.
inline Pcm decodeWithFfmpeg(const std::string& path, int channels) {
  Pcm pcm;
  pcm.channels = channels;
  std::string raw = commandOutput("ffmpeg -v error -i " + quoted(path) + " -f f32le -ac " +
                                  std::to_string(channels) + " -");
  pcm.samples.resize(raw.size() / sizeof(float));
  std::memcpy(pcm.samples.data(), raw.data(), pcm.samples.size() * sizeof(float));
  return pcm;
}

// Amplitude of the frequency in x[begin, begin + n) by a single DFT bin (Goertzel).
inline double toneAmplitude(const std::vector<float>& x, size_t begin, size_t n, double frequency) {
  const double w = 2 * kPi * frequency / 48000.0;
  const double coeff = 2 * std::cos(w);
  double s1 = 0, s2 = 0;
  for (size_t i = 0; i < n; ++i) {
    const double s0 = x[begin + i] + coeff * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  const double re = s1 - s2 * std::cos(w);
  const double im = s2 * std::sin(w);
  return 2 * std::sqrt(re * re + im * im) / static_cast<double>(n);
}

inline double dbfs(double amplitude) { return 20 * std::log10(std::max(amplitude, 1e-12)); }

struct ToneFit {
  double amplitude = 0;
  double offsetSamples = 0;  // delay against the continuous tone sin(w n) at absolute index n
  double residual = 0;       // RMS of what the fitted sine leaves, over the given amplitude
};

// Solves the 3x3 system of normal equations m (augmented with its right-hand side in column
// 3) by Gaussian elimination; m is overwritten.
inline void solveNormalEquations(double m[3][4], double coef[3]) {
  for (int p = 0; p < 3; ++p) {
    for (int r = p + 1; r < 3; ++r) {
      const double f = m[r][p] / m[p][p];
      for (int c = p; c < 4; ++c) m[r][c] -= f * m[p][c];
    }
  }
  for (int r = 2; r >= 0; --r) {
    double v = m[r][3];
    for (int c = r + 1; c < 3; ++c) v -= m[r][c] * coef[c];
    coef[r] = v / m[r][r];
  }
}

// Least-squares fit of a sin(w n) + b cos(w n) + c, the frequency known, over x[from, to).
inline ToneFit fitTone(const std::vector<float>& x, size_t from, size_t to, double frequency,
                       double amplitude) {
  const double w = 2 * kPi * frequency / 48000.0;
  double m[3][4] = {};
  for (size_t i = from; i < to; ++i) {
    const double n = static_cast<double>(i);
    const double basis[3] = {std::sin(w * n), std::cos(w * n), 1.0};
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 3; ++c) m[r][c] += basis[r] * basis[c];
      m[r][3] += basis[r] * x[i];
    }
  }
  double coef[3];
  solveNormalEquations(m, coef);
  double energy = 0;
  for (size_t i = from; i < to; ++i) {
    const double n = static_cast<double>(i);
    const double e = x[i] - (coef[0] * std::sin(w * n) + coef[1] * std::cos(w * n) + coef[2]);
    energy += e * e;
  }
  ToneFit fit;
  fit.amplitude = std::hypot(coef[0], coef[1]);
  // a sin(w (n - k)) = a cos(wk) sin(wn) - a sin(wk) cos(wn)
  fit.offsetSamples = std::atan2(-coef[1], coef[0]) / w;
  fit.residual = std::sqrt(energy / static_cast<double>(to - from)) / amplitude;
  return fit;
}

// The worst residual of the sine fitted over sliding 1024-sample windows starting in
// [from, to - 1024], every 8 samples. Prefix sums make each window's fit O(1).
inline double worstSineFitResidual(const std::vector<float>& x, size_t from, size_t to,
                                   double frequency, double amplitude) {
  constexpr size_t kWindow = 1024;
  to = std::min(to, x.size());
  if (to < from + kWindow) return 0;
  const double w = 2 * kPi * frequency / 48000.0;
  // Sums of s s, s c, s, c c, c, 1, x s, x c, x, x x.
  std::vector<std::array<double, 10>> prefix(to - from + 1);
  prefix[0].fill(0);
  for (size_t i = from; i < to; ++i) {
    const double n = static_cast<double>(i), s = std::sin(w * n), c = std::cos(w * n);
    const double v = x[i];
    const std::array<double, 10> terms = {s * s, s * c, s, c * c, c, 1, v * s, v * c, v, v * v};
    for (int k = 0; k < 10; ++k) prefix[i - from + 1][k] = prefix[i - from][k] + terms[k];
  }
  double worst = 0;
  for (size_t start = from; start + kWindow <= to; start += 8) {
    std::array<double, 10> t;
    for (int k = 0; k < 10; ++k) {
      t[k] = prefix[start + kWindow - from][k] - prefix[start - from][k];
    }
    double m[3][4] = {{t[0], t[1], t[2], t[6]}, {t[1], t[3], t[4], t[7]}, {t[2], t[4], t[5], t[8]}};
    const double rhs[3] = {t[6], t[7], t[8]};
    double coef[3];
    solveNormalEquations(m, coef);
    // Least squares: what is left is sum x^2 minus the fitted part's projection.
    const double energy =
        std::max(0.0, t[9] - (coef[0] * rhs[0] + coef[1] * rhs[1] + coef[2] * rhs[2]));
    worst = std::max(worst, std::sqrt(energy / kWindow) / amplitude);
  }
  return worst;
}

}  // namespace lumewell::media::compose_test
