// Assembly of a long microphone recording: the packet join of one run's segments against the
// trimmed re-encode every assembly took before, and the same recording with pauses in it.
//
//   remux_bench WORK [SEGMENTS] [PAUSES]
//
// Writes once into WORK (reused by later runs): SEGMENTS segments of 30 s cut from one
// continuous encode of a noise with a tone in it (WORK/run), the continuous encode itself
// (WORK/continuous.m4a), and the same signal recorded as PAUSES + 1 runs (WORK/paused). Then
// times the assembly of each and checks: the joined run is packet-identical to the continuous
// encode and sample-identical to the segments decoded one after another; every output holds
// exactly the samples of its inputs.
extern "C" {
#include <libavformat/avformat.h>
}

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "media/aac_file_writer.h"
#include "media/audio_decoder.h"
#include "media/compose_audio.h"
#include "media/compose_sources.h"
#include "media/segmented_aac_writer.h"

namespace fs = std::filesystem;
using namespace lumewell;
using namespace lumewell::media;

namespace {

constexpr int64_t kSegmentFrames = 30 * 48000;

std::string segmentName(const std::string& folder, int index) {
  char name[32];
  std::snprintf(name, sizeof name, "/%06d.m4a", index);
  return folder + name;
}

bool check(const OptionalError& error, const char* what) {
  if (!error) return true;
  std::fprintf(stderr, "%s: %s\n", what, error->localizedDescription.c_str());
  return false;
}

// One pass over the signal feeds the three encodes.
bool generate(const std::string& work, int segments, int pauses) {
  fs::create_directories(work + "/run");
  fs::create_directories(work + "/paused");
  auto run = SegmentedAacWriter::create(segmentName(work + "/run", 0), {}, makeRunId());
  auto continuous = SegmentedAacWriter::create(work + "/continuous.m4a", {}, makeRunId());
  if (!run || !continuous) return false;
  std::unique_ptr<SegmentedAacWriter> paused;
  const int perRun = segments / (pauses + 1);
  std::vector<float> block(4800);
  uint32_t seed = 1;
  int64_t at = 0, runStart = 0;
  for (int s = 0; s < segments; ++s) {
    if (s > 0 && !(*run)->cut(at, segmentName(work + "/run", s))) {
      std::fprintf(stderr, "cannot cut segment %d\n", s);
      return false;
    }
    if (!paused || (perRun > 0 && s % perRun == 0 && s / perRun <= pauses)) {
      if (paused && !check(paused->finish(), "paused")) return false;
      auto created = SegmentedAacWriter::create(segmentName(work + "/paused", s), {}, makeRunId());
      if (!created) return false;
      paused = std::move(*created);
      runStart = at;
    } else if (!paused->cut(at - runStart, segmentName(work + "/paused", s))) {
      return false;
    }
    for (int64_t done = 0; done < kSegmentFrames; done += static_cast<int64_t>(block.size())) {
      for (float& v : block) {
        seed = seed * 1664525u + 1013904223u;
        v = static_cast<float>(0.3 * std::sin(2 * M_PI * 440 * static_cast<double>(at++) / 48000) +
                               0.1 * (static_cast<double>(seed >> 8) / (1 << 24) - 0.5));
      }
      for (SegmentedAacWriter* writer : {run->get(), continuous->get(), paused.get()}) {
        if (!check(writer->write(block.data(), block.size()), "encode")) return false;
      }
    }
  }
  return check((*run)->finish(), "run") && check((*continuous)->finish(), "continuous") &&
         check(paused->finish(), "paused");
}

std::vector<std::string> listSegments(const std::string& folder, int segments) {
  std::vector<std::string> paths;
  for (int s = 0; s < segments; ++s) paths.push_back(segmentName(folder, s));
  return paths;
}

template <typename F>
double timed(F&& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

OptionalError assemble(const std::vector<std::string>& inputs, const std::string& output) {
  std::promise<OptionalError> done;
  composeAudio(inputs, output, [&done](OptionalError error) { done.set_value(error); });
  OptionalError error = done.get_future().get();
  cancelAllCompositions();
  return error;
}

// The re-encode every assembly used to be: the inputs decoded, trimmed and laid end to end,
// encoded once more.
OptionalError reencode(const std::vector<std::string>& inputs, const std::string& output) {
  auto source = makePrefetchingSource(makeSequenceSource(inputs, 1), 8192);
  AacWriterSettings settings;
  settings.fastStart = true;
  auto writer = AacFileWriter::create(output, settings);
  if (!writer) return writer.error();
  std::vector<float> chunk(8192);
  for (;;) {
    Result<size_t> got = source->read(chunk.data(), chunk.size());
    if (!got) return got.error();
    if (*got > 0) {
      if (auto error = (*writer)->write(chunk.data(), *got)) return error;
    }
    if (*got < chunk.size()) break;
  }
  return (*writer)->finish();
}

// Packets that differ between the two files (payload, time or duration), -1 if unreadable.
int64_t packetDifferences(const std::string& a, const std::string& b) {
  AVFormatContext* fa = nullptr;
  AVFormatContext* fb = nullptr;
  if (avformat_open_input(&fa, a.c_str(), nullptr, nullptr) < 0) return -1;
  if (avformat_open_input(&fb, b.c_str(), nullptr, nullptr) < 0) return -1;
  AVPacket* pa = av_packet_alloc();
  AVPacket* pb = av_packet_alloc();
  int64_t differences = 0;
  for (;;) {
    const bool ea = av_read_frame(fa, pa) < 0, eb = av_read_frame(fb, pb) < 0;
    if (ea || eb) {
      differences += ea != eb;
      break;
    }
    differences += pa->size != pb->size || std::memcmp(pa->data, pb->data, pa->size) != 0 ||
                   pa->pts != pb->pts || pa->duration != pb->duration;
    av_packet_unref(pa);
    av_packet_unref(pb);
  }
  av_packet_free(&pa);
  av_packet_free(&pb);
  avformat_close_input(&fa);
  avformat_close_input(&fb);
  return differences;
}

struct Comparison {
  int64_t frames = 0, reference = 0, differing = 0;
};

// The output decoded against the inputs decoded one after another.
Comparison compareSamples(const std::string& output, const std::vector<std::string>& inputs) {
  Comparison result;
  auto decoded = AudioDecoder::open(output);
  if (!decoded || !*decoded) return result;
  auto reference = makeSequenceSource(inputs, 1);
  std::vector<float> x(8192), y(8192);
  for (;;) {
    auto gx = (*decoded)->read(x.data(), x.size());
    auto gy = reference->read(y.data(), y.size());
    if (!gx || !gy) break;
    result.frames += static_cast<int64_t>(*gx);
    result.reference += static_cast<int64_t>(*gy);
    for (size_t i = 0; i < std::min(*gx, *gy); ++i) result.differing += x[i] != y[i];
    if (*gx < x.size() || *gy < y.size()) break;
  }
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s WORK [SEGMENTS] [PAUSES]\n", argv[0]);
    return 2;
  }
  const std::string work = argv[1];
  const int segments = argc > 2 ? std::atoi(argv[2]) : 240;
  const int pauses = argc > 3 ? std::atoi(argv[3]) : 3;
  if (segments < 1 || pauses < 0 || pauses >= segments) return 2;
  const std::string stamp =
      work + "/done-" + std::to_string(segments) + "-" + std::to_string(pauses);
  if (!fs::exists(stamp)) {
    std::printf("encoding %d segments of 30 s (one run, continuous, %d runs) into %s ...\n",
                segments, pauses + 1, work.c_str());
    fs::remove_all(work);
    if (!generate(work, segments, pauses)) return 1;
    std::ofstream{stamp};
  }
  fs::create_directories(work + "/out");
  const auto run = listSegments(work + "/run", segments);
  const auto paused = listSegments(work + "/paused", segments);

  OptionalError error;
  const double remuxSeconds = timed([&] { error = assemble(run, work + "/out/remux.m4a"); });
  if (!check(error, "remux")) return 1;
  const double pausedSeconds = timed([&] { error = assemble(paused, work + "/out/paused.m4a"); });
  if (!check(error, "paused")) return 1;
  const double reencodeSeconds = timed([&] { error = reencode(run, work + "/out/reencode.m4a"); });
  if (!check(error, "re-encode")) return 1;

  std::printf("assembly of %d segments of 30 s (%.1f h), mono 128 kbit/s:\n", segments,
              segments * 30 / 3600.0);
  std::printf("  one run, packet join   %8.2f s\n", remuxSeconds);
  std::printf("  trimmed re-encode      %8.2f s   (join %.0fx faster)\n", reencodeSeconds,
              reencodeSeconds / remuxSeconds);
  std::printf("  %d runs (%d pauses)    %8.2f s\n", pauses + 1, pauses, pausedSeconds);
  std::printf(
      "packets differing from the continuous encode: %lld\n",
      static_cast<long long>(packetDifferences(work + "/out/remux.m4a", work + "/continuous.m4a")));
  for (const auto& [name, inputs] :
       {std::pair{"remux", run}, std::pair{"paused", paused}, std::pair{"reencode", run}}) {
    const Comparison c = compareSamples(work + "/out/" + name + ".m4a", inputs);
    std::printf("%-8s frames %lld, inputs %lld (%+lld), samples differing from the inputs %lld\n",
                name, static_cast<long long>(c.frames), static_cast<long long>(c.reference),
                static_cast<long long>(c.frames - c.reference),
                static_cast<long long>(c.differing));
  }
  return 0;
}
