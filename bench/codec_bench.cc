// Encoding and decoding of the event the host sends most: a sealed-segment record (11 keys).
#include <benchmark/benchmark.h>

#include "channels/standard_codec.h"

namespace {

lumewell::Value sealedSegmentEvent() {
  using lumewell::Value;
  return Value(lumewell::ValueMap{
      {"type", Value("segment_sealed")},
      {"index", Value(int32_t{42})},
      {"path", Value("/home/user/.local/share/app.lumewell.Recorder/recordings/"
                     "rec-20250131-123456/000042.m4a")},
      {"durationMs", Value(int32_t{30000})},
      {"byteLength", Value(int32_t{483211})},
      {"sha256", Value("9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08")},
      {"codec", Value("aac")},
      {"sampleRate", Value(int32_t{48000})},
      {"channelCount", Value(int32_t{1})},
      {"sealedAt", Value("2025-01-31T12:35:26.789Z")},
      {"startedAt", Value("2025-01-31T12:34:56.789Z")},
  });
}

void BM_EncodeSealedSegmentEvent(benchmark::State& state) {
  auto event = sealedSegmentEvent();
  for (auto _ : state) {
    auto bytes = lumewell::StandardMethodCodec::encodeSuccessEnvelope(event);
    benchmark::DoNotOptimize(bytes.data());
  }
}
BENCHMARK(BM_EncodeSealedSegmentEvent);

void BM_DecodeSealedSegmentEvent(benchmark::State& state) {
  auto bytes = lumewell::StandardMethodCodec::encodeSuccessEnvelope(sealedSegmentEvent());
  for (auto _ : state) {
    auto env = lumewell::StandardMethodCodec::decodeEnvelope(bytes);
    benchmark::DoNotOptimize(&env);
  }
  state.counters["bytes"] = static_cast<double>(bytes.size());
}
BENCHMARK(BM_DecodeSealedSegmentEvent);

}  // namespace

BENCHMARK_MAIN();
