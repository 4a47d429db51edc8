// Captures one application's sound with the product's capture session for a number of
// seconds, encodes what it hands on (as the recording's live mix would take it) and reports
// the process's CPU time, for bench/app_capture_cpu.sh.
//   app_capture_tool PID OUTPUT.m4a SECONDS
#include <glib.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include <memory>
#include <mutex>

#include "app_audio/app_audio_capture_session.h"
#include "media/aac_file_writer.h"
#include "media/media_probe.h"
#include "runtime/glib_scheduler.h"

namespace {

class FileFeed final : public lumewell::recorder::AppAudioFeed {
 public:
  explicit FileFeed(std::unique_ptr<lumewell::media::AacFileWriter> writer)
      : writer_(std::move(writer)) {}
  void push(const float* stereo, size_t frames) override {
    std::lock_guard lock(mutex_);
    if (!error_) error_ = writer_->write(stereo, frames);
  }
  void restart() override {}
  lumewell::OptionalError finish() {
    std::lock_guard lock(mutex_);
    if (error_) return error_;
    return writer_->finish();
  }

 private:
  std::mutex mutex_;
  std::unique_ptr<lumewell::media::AacFileWriter> writer_;
  lumewell::OptionalError error_;
};

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Runs the default main context until done or the deadline.
void runUntil(const bool& done, std::chrono::steady_clock::time_point deadline) {
  while (!done && std::chrono::steady_clock::now() < deadline) {
    g_main_context_iteration(nullptr, FALSE);
    g_usleep(10000);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s PID OUTPUT.m4a SECONDS\n", argv[0]);
    return 2;
  }
  lumewell::recorder::AppAudioTarget target;
  target.processId = std::atoll(argv[1]);
  const double seconds = std::atof(argv[3]);
  lumewell::media::AacWriterSettings settings;
  settings.sampleRate = 48000;
  settings.channels = 2;
  settings.bitRate = 192000;
  auto writer = lumewell::media::AacFileWriter::create(argv[2], settings);
  if (!writer) {
    std::fprintf(stderr, "cannot write %s: %s\n", argv[2],
                 writer.error().localizedDescription.c_str());
    return 1;
  }
  auto feed = std::make_shared<FileFeed>(std::move(writer).value());
  lumewell::app_audio::LumewellAppAudioCaptureSession session(target, feed, [](std::string reason) {
    std::fprintf(stderr, "stopped: %s\n", reason.c_str());
  });
  bool done = false;
  lumewell::OptionalError error;
  auto far = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  session.start([&](lumewell::OptionalError e) {
    error = e;
    done = true;
  });
  runUntil(done, far);
  if (!done || error) {
    std::fprintf(stderr, "start failed: %s\n",
                 error ? error->localizedDescription.c_str() : "timeout");
    return 1;
  }
  bool never = false;
  runUntil(never, std::chrono::steady_clock::now() +
                      std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                          std::chrono::duration<double>(seconds)));
  done = false;
  session.stop([&](lumewell::OptionalError e) {
    error = e;
    done = true;
  });
  runUntil(done, std::chrono::steady_clock::now() + std::chrono::seconds(30));
  if (done && !error) error = feed->finish();
  if (!done || error) {
    std::fprintf(stderr, "stop failed: %s\n",
                 error ? error->localizedDescription.c_str() : "timeout");
    return 1;
  }
  const double cpu = cpuSeconds();
  const auto fileMs = lumewell::media::mediaDurationMs(argv[2]).value_or(-1);
  const double recorded = fileMs > 0 ? fileMs / 1000.0 : seconds;
  std::printf("recorded_s=%.3f cpu_s=%.3f cpu_s_per_min=%.3f file_ms=%lld\n", recorded, cpu,
              cpu / (recorded / 60.0), static_cast<long long>(fileMs));
  return 0;
}
