// Records the default microphone with the product's recorder for a number of seconds and
// reports the process's CPU time, for bench/recorder_cpu.sh.
//   mic_record_tool OUTPUT.m4a SECONDS [CHANNELS]
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "media/media_probe.h"
#include "pulse/pulse_microphone_recorder.h"

namespace {

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s OUTPUT.m4a SECONDS [CHANNELS]\n", argv[0]);
    return 2;
  }
  lumewell::recorder::RecorderSettings settings;
  settings.channels = argc > 3 ? std::atoi(argv[3]) : 1;
  settings.bitRate = settings.channels == 2 ? 192000 : 128000;
  const double seconds = std::atof(argv[2]);
  auto recorder = lumewell::pulse::PulseMicrophoneRecorder::create(argv[1], settings);
  if (!recorder) {
    std::fprintf(stderr, "%s\n", recorder.error().localizedDescription.c_str());
    return 1;
  }
  if (!(*recorder)->record()) {
    std::fprintf(
        stderr, "record failed: %s\n",
        (*recorder)->lastError() ? (*recorder)->lastError()->localizedDescription.c_str() : "?");
    return 1;
  }
  // Meter like the plug-in does, four times a second.
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    (*recorder)->updateMeters();
  }
  (*recorder)->stop();
  const double cpu = cpuSeconds();
  const double recorded = (*recorder)->currentTime();
  std::printf("recorded_s=%.3f cpu_s=%.3f cpu_s_per_min=%.3f file_ms=%lld\n", recorded, cpu,
              cpu / (recorded / 60.0),
              static_cast<long long>(lumewell::media::mediaDurationMs(argv[1]).value_or(-1)));
  return 0;
}
