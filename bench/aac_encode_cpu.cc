// The recorder's live AAC encode (48 kHz mono, 128 kbit/s, fast coder, no PNS) of SECONDS of
// a signal, in one thread: CPU seconds per minute of audio, and the packets written to OUT so
// that two builds of FFmpeg can be compared byte for byte. Built against one FFmpeg copy by
// bench/ffmpeg_builds.sh.
//   aac_encode_cpu tone|noise|RAW_F32_MONO_FILE SECONDS OUT
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
}

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: aac_encode_cpu tone|noise|FILE SECONDS OUT\n");
    return 2;
  }
  const std::string kind = argv[1];
  const long frames = std::atol(argv[2]) * 48000;
  std::vector<float> pcm(static_cast<size_t>(frames));
  uint32_t state = 1;
  auto random = [&state] {  // uniform in [-1, 1)
    state = state * 1664525u + 1013904223u;
    return static_cast<float>(state >> 8) / 8388608.0f - 1.0f;
  };
  if (kind == "tone") {
    // A 1 kHz tone at -6 dB in 16 bits with sox's TPDF dither, like the tests' microphone.
    for (long i = 0; i < frames; ++i) {
      const double v = 0.5 * std::sin(2 * std::numbers::pi * 1000 * static_cast<double>(i) / 48000);
      pcm[i] = static_cast<float>(std::lround(v * 32767 + random() + random()) / 32768.0);
    }
  } else if (kind == "noise") {
    for (long i = 0; i < frames; ++i) pcm[i] = 0.3f * random();
  } else {
    std::vector<float> file(static_cast<size_t>(std::filesystem::file_size(kind) / sizeof(float)));
    std::ifstream in(kind, std::ios::binary);
    in.read(reinterpret_cast<char*>(file.data()),
            static_cast<std::streamsize>(file.size() * sizeof(float)));
    if (file.empty()) return 1;
    for (long i = 0; i < frames; ++i) pcm[i] = file[static_cast<size_t>(i) % file.size()];
  }

  av_log_set_level(AV_LOG_ERROR);
  const AVCodec* codec = avcodec_find_encoder_by_name("aac");
  AVCodecContext* encoder = avcodec_alloc_context3(codec);
  encoder->sample_fmt = AV_SAMPLE_FMT_FLTP;
  encoder->sample_rate = 48000;
  av_channel_layout_default(&encoder->ch_layout, 1);
  encoder->bit_rate = 128000;
  encoder->time_base = AVRational{1, 48000};
  AVDictionary* options = nullptr;
  av_dict_set(&options, "aac_pns", "0", 0);
  av_dict_set(&options, "aac_coder", "fast", 0);
  if (avcodec_open2(encoder, codec, &options) < 0) return 1;
  av_dict_free(&options);
  AVFrame* frame = av_frame_alloc();
  frame->format = AV_SAMPLE_FMT_FLTP;
  frame->sample_rate = 48000;
  frame->nb_samples = 1024;
  av_channel_layout_copy(&frame->ch_layout, &encoder->ch_layout);
  av_frame_get_buffer(frame, 0);
  AVPacket* packet = av_packet_alloc();
  std::FILE* out = std::fopen(argv[3], "wb");
  if (out == nullptr) return 1;

  timespec start{}, end{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &start);
  for (long at = 0; at <= frames; at += 1024) {
    if (at + 1024 <= frames) {
      av_frame_make_writable(frame);
      std::copy_n(pcm.data() + at, 1024, reinterpret_cast<float*>(frame->data[0]));
      frame->pts = at;
      avcodec_send_frame(encoder, frame);
    } else {
      avcodec_send_frame(encoder, nullptr);
    }
    while (avcodec_receive_packet(encoder, packet) == 0) {
      std::fwrite(packet->data, 1, static_cast<size_t>(packet->size), out);
      av_packet_unref(packet);
    }
  }
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &end);
  std::fclose(out);
  const double cpu = static_cast<double>(end.tv_sec - start.tv_sec) +
                     static_cast<double>(end.tv_nsec - start.tv_nsec) / 1e9;
  std::printf("%.3f\n", cpu / (static_cast<double>(frames) / 48000.0 / 60.0));
  avcodec_free_context(&encoder);
  av_frame_free(&frame);
  av_packet_free(&packet);
  return 0;
}
