#include "support/audio_test_helpers.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "media/audio_decoder.h"

#include "support/process_runner.h"

namespace lumewell::testing {

std::vector<std::string> player(const std::string& name, const std::string& sink,
                                const std::string& wav) {
  // A deep buffer: a busy machine must not starve the player.
  return {"paplay",
          "--client-name=" + name,
          "--property=application.name=" + name,
          "-d",
          sink,
          "--latency-msec=1000",
          wav};
}

std::vector<float> decodeMono(const std::string& path) {
  std::vector<float> out;
  auto decoder = path.ends_with(".wav") ? Result<std::unique_ptr<media::AudioDecoder>>(nullptr)
                                        : media::AudioDecoder::open(path);
  if (!decoder || !*decoder) {
    std::string raw = commandOutput("ffmpeg -v error -i '" + path +
                                    "' -af 'pan=mono|c0=c0' -f f32le -ar 48000 -");
    out.resize(raw.size() / sizeof(float));
    std::memcpy(out.data(), raw.data(), out.size() * sizeof(float));
    return out;
  }
  const size_t channels = static_cast<size_t>((*decoder)->info().channels);
  std::vector<float> block(4096 * channels);
  for (;;) {
    auto got = (*decoder)->read(block.data(), 4096);
    if (!got || *got == 0) break;
    for (size_t i = 0; i < *got; ++i) out.push_back(block[i * channels]);
  }
  return out;
}

Match locate(const std::vector<float>& source, const std::vector<float>& pcm, size_t at,
             size_t length, int64_t from, int64_t to) {
  Match best;
  from = std::max<int64_t>(from, 0);
  to = std::min<int64_t>(to, static_cast<int64_t>(source.size()) - static_cast<int64_t>(length));
  const float* x = pcm.data() + at;
  double xx = 0;
  for (size_t i = 0; i < length; ++i) xx += double(x[i]) * x[i];
  for (int64_t p = from; p < to; ++p) {
    const float* y = source.data() + p;
    float xy = 0, yy = 0;
    for (size_t i = 0; i < length; ++i) {
      xy += x[i] * y[i];
      yy += y[i] * y[i];
    }
    const double score = xy / std::sqrt(xx * yy + 1e-20);
    if (score > best.score) best = {p, score};
  }
  return best;
}

double tonePower(const std::vector<float>& pcm, size_t begin, size_t end, double hz) {
  const double w = 2.0 * M_PI * hz / 48000.0;
  const double coeff = 2.0 * std::cos(w);
  double s1 = 0, s2 = 0;
  for (size_t i = begin; i < end && i < pcm.size(); ++i) {
    double s = pcm[i] + coeff * s1 - s2;
    s2 = s1;
    s1 = s;
  }
  const double n = static_cast<double>(std::min(end, pcm.size()) - std::min(begin, pcm.size()));
  if (n <= 0) return 0;
  return (s1 * s1 + s2 * s2 - coeff * s1 * s2) / (n * n);
}

double meanTonePower(const std::vector<float>& pcm, size_t begin, size_t end, double hz) {
  constexpr size_t kBlock = 4800;
  double sum = 0;
  size_t blocks = 0;
  for (size_t at = begin; at + kBlock <= end && at + kBlock <= pcm.size(); at += kBlock, ++blocks) {
    sum += tonePower(pcm, at, at + kBlock, hz);
  }
  return blocks == 0 ? 0 : sum / static_cast<double>(blocks);
}

}  // namespace lumewell::testing
