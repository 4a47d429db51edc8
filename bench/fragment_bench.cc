// What the crash-safe part file costs: its container bytes per minute beside the regular
// file's, and the CPU time of a fragment every half second (each fdatasync'ed, as the
// recorder writes them) beside one fragment at the end, over the same encoded packets.
//
//   fragment_bench FOLDER [MINUTES]
//
// FOLDER should be on the disk recordings go to (fdatasync on tmpfs costs nothing).
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
}

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "media/fragmented_part_file.h"
#include "media/segment_files.h"

using namespace lumewell;
using namespace lumewell::media;

namespace {

constexpr int kRate = 48000;

// A run whose writes fail measures nothing: it ends the bench.
void mustSucceed(const OptionalError& error) {
  if (!error) return;
  std::fprintf(stderr, "%s\n", error->localizedDescription.c_str());
  std::exit(1);
}

double threadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// A mono noise with a tone, encoded as the microphone recorder encodes it.
std::vector<PacketPtr> encode(int minutes, AVCodecParameters* parameters) {
  const AVCodec* codec = avcodec_find_encoder_by_name("aac");
  AVCodecContext* encoder = avcodec_alloc_context3(codec);
  encoder->sample_fmt = AV_SAMPLE_FMT_FLTP;
  encoder->sample_rate = kRate;
  av_channel_layout_default(&encoder->ch_layout, 1);
  encoder->bit_rate = 128000;
  encoder->time_base = AVRational{1, kRate};
  encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  AVDictionary* options = nullptr;
  av_dict_set(&options, "aac_pns", "0", 0);
  avcodec_open2(encoder, codec, &options);
  av_dict_free(&options);
  avcodec_parameters_from_context(parameters, encoder);
  AVFrame* frame = av_frame_alloc();
  frame->format = AV_SAMPLE_FMT_FLTP;
  frame->sample_rate = kRate;
  av_channel_layout_default(&frame->ch_layout, 1);
  frame->nb_samples = encoder->frame_size;
  av_frame_get_buffer(frame, 0);
  AVPacket* packet = av_packet_alloc();
  std::vector<PacketPtr> packets;
  uint32_t seed = 1;
  const int64_t total = static_cast<int64_t>(minutes) * 60 * kRate;
  auto drain = [&] {
    while (avcodec_receive_packet(encoder, packet) == 0) {
      packets.push_back(copyPacket(*packet));
      av_packet_unref(packet);
    }
  };
  for (int64_t at = 0; at < total; at += frame->nb_samples) {
    av_frame_make_writable(frame);
    auto* out = reinterpret_cast<float*>(frame->data[0]);
    for (int i = 0; i < frame->nb_samples; ++i) {
      seed = seed * 1664525u + 1013904223u;
      const double t = static_cast<double>(at + i) / kRate;
      out[i] = static_cast<float>(0.3 * std::sin(2 * M_PI * 440 * t) +
                                  0.1 * (static_cast<double>(seed >> 8) / (1 << 24) - 0.5));
    }
    frame->pts = at;
    avcodec_send_frame(encoder, frame);
    drain();
  }
  avcodec_send_frame(encoder, nullptr);
  drain();
  av_packet_free(&packet);
  av_frame_free(&frame);
  avcodec_free_context(&encoder);
  return packets;
}

struct PartRun {
  double cpuSeconds = 0;
  int64_t bytes = 0;
  std::vector<double> flushMs;
};

// Writes the packets as 30 s part files, a fragment every `fragmentSamples` (0: one at the end).
PartRun writeParts(const std::string& folder, const std::vector<PacketPtr>& packets,
                   const AVCodecParameters& codec, int64_t fragmentSamples) {
  PartRun run;
  const double cpu = threadCpuSeconds();
  std::unique_ptr<FragmentedPartFile> part;
  int index = 0;
  int64_t fileStart = 0, unflushed = 0;
  auto close = [&] {
    if (!part) return;
    const auto start = std::chrono::steady_clock::now();
    mustSucceed(part->flushFragment());
    run.flushMs.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
    run.bytes += part->durableBytes();
    std::filesystem::remove(part->path());
    part.reset();
  };
  for (const PacketPtr& packet : packets) {
    if (!part || packet->pts - fileStart >= 30 * kRate) {
      close();
      fileStart = packet->pts;
      auto created =
          FragmentedPartFile::create(folder + "/." + std::to_string(index++) + ".m4a.part");
      if (!created) {
        std::fprintf(stderr, "%s\n", created.error().localizedDescription.c_str());
        std::exit(1);
      }
      part = std::move(created).value();
      mustSucceed(part->begin(codec, kRate, {{"lumewell_lead", "0"}}));
    }
    mustSucceed(part->write(*packet, packet->pts - fileStart));
    unflushed += packet->duration;
    if (fragmentSamples > 0 && unflushed >= fragmentSamples) {
      unflushed = 0;
      const auto start = std::chrono::steady_clock::now();
      mustSucceed(part->flushFragment());
      run.flushMs.push_back(
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
              .count());
    }
  }
  close();
  run.cpuSeconds = threadCpuSeconds() - cpu;
  return run;
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[static_cast<size_t>(p * static_cast<double>(values.size() - 1))];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: fragment_bench FOLDER [MINUTES]\n");
    return 2;
  }
  av_log_set_level(AV_LOG_ERROR);
  const std::string folder = argv[1];
  const int minutes = argc > 2 ? std::max(1, std::atoi(argv[2])) : 10;
  std::filesystem::create_directories(folder);
  AVCodecParameters* codec = avcodec_parameters_alloc();
  const double encodeCpu = threadCpuSeconds();
  const std::vector<PacketPtr> packets = encode(minutes, codec);
  const double encodeSeconds = threadCpuSeconds() - encodeCpu;
  int64_t payload = 0;
  for (const auto& packet : packets) payload += packet->size;

  const PartRun perHalfSecond = writeParts(folder, packets, *codec, kRate / 2);
  const PartRun atEnd = writeParts(folder, packets, *codec, 0);

  // The regular files of the same 30 s segments, written as a seal writes them.
  int64_t regularBytes = 0;
  const double sealCpu = threadCpuSeconds();
  std::vector<double> sealMs;
  for (size_t first = 0, index = 0; first < packets.size(); ++index) {
    std::vector<PacketPtr> segment;
    const int64_t start = packets[first]->pts;
    while (first < packets.size() && packets[first]->pts - start < 30 * kRate) {
      segment.push_back(copyPacket(*packets[first]));
      segment.back()->pts = segment.back()->dts = packets[first]->pts - start;
      ++first;
    }
    const std::string path = folder + "/" + std::to_string(index) + ".m4a";
    std::filesystem::remove(path);
    const auto began = std::chrono::steady_clock::now();
    if (auto error = writeFinalSegment(path, {codec, kRate, {}, true}, segment)) {
      std::fprintf(stderr, "%s\n", error->localizedDescription.c_str());
      return 1;
    }
    sealMs.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began)
            .count());
    regularBytes += static_cast<int64_t>(std::filesystem::file_size(path));
    std::filesystem::remove(path);
  }
  const double sealSeconds = threadCpuSeconds() - sealCpu;
  avcodec_parameters_free(&codec);

  const double m = minutes;
  std::printf("recorded: %d min, %zu packets, %.0f payload bytes/min\n", minutes, packets.size(),
              static_cast<double>(payload) / m);
  std::printf(
      "container bytes/min: part (fragment a half second) %.0f, part (one fragment) %.0f, "
      "regular file %.0f; fragment overhead %.0f bytes/min (%.2f%% of the audio)\n",
      static_cast<double>(perHalfSecond.bytes - payload) / m,
      static_cast<double>(atEnd.bytes - payload) / m,
      static_cast<double>(regularBytes - payload) / m,
      static_cast<double>(perHalfSecond.bytes - atEnd.bytes) / m,
      100.0 * static_cast<double>(perHalfSecond.bytes - atEnd.bytes) /
          static_cast<double>(payload));
  std::printf(
      "CPU s/min: encode %.3f, part with a fragment a half second %.4f, part with one "
      "fragment %.4f, so per-second fragments cost %.4f CPU-s/min (%.2f%% of the "
      "encode)\n",
      encodeSeconds / m, perHalfSecond.cpuSeconds / m, atEnd.cpuSeconds / m,
      (perHalfSecond.cpuSeconds - atEnd.cpuSeconds) / m,
      100.0 * (perHalfSecond.cpuSeconds - atEnd.cpuSeconds) / encodeSeconds);
  std::printf("fragment flush + fdatasync wall ms: median %.2f, p99 %.2f, max %.2f (%zu)\n",
              percentile(perHalfSecond.flushMs, 0.5), percentile(perHalfSecond.flushMs, 0.99),
              percentile(perHalfSecond.flushMs, 1.0), perHalfSecond.flushMs.size());
  std::printf(
      "regular file at the seal (write, fsync, read back, rename, folder fsync) wall "
      "ms: median %.2f, max %.2f; CPU %.4f s per segment\n",
      percentile(sealMs, 0.5), percentile(sealMs, 1.0),
      sealSeconds / static_cast<double>(sealMs.size()));
  return 0;
}
