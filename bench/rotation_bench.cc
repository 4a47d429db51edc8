// Segment rotation on the real services against a private PulseAudio: how long a rotation
// takes from the segment timer to the "segment_sealed" event, and how much audio falls
// between two segment files. Run by bench/rotation_bench.sh.
//
//   rotation_bench [--mode mic|app] [--handover on|off] [--rotations N] [--segment SECONDS]
//                  [--signal tone|noise]
//
// --handover off hides the recorder's continueInto, so the rotation stops the segment and
//   records the next one afresh (the path taken when a recorder cannot hand over). In the
//   application mode the application's audio is mixed into the run as it arrives; the run
//   also prints the median time of the application capture's stop (at pauses, stops and
//   rotations without a handover).
// --signal tone: a -6 dBFS 1 kHz tone on the virtual microphone. noise: -6 dBFS white noise
//   below 8 kHz, which never repeats, so each segment's first and last samples are found in
//   the played signal by cross-correlation, and the gap at each join is counted in samples
//   (negative: samples in both files).
#include <glib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app_audio/pulse_app_audio_services.h"
#include "channels/method_channel.h"
#include "pulse/pulse_audio_services.h"
#include "recorder/recorder_plugin.h"
#include "runtime/glib_scheduler.h"
#include "support/audio_test_helpers.h"
#include "support/fake_messenger.h"
#include "support/forwarding_services.h"
#include "support/main_loop_helpers.h"
#include "support/pulse_server.h"

namespace lumewell {
namespace {

using recorder::LumewellNativeRecorderPlugin;
using SteadyTime = std::chrono::steady_clock::time_point;
using namespace std::chrono_literals;

struct Options {
  std::string mode = "mic";
  bool handover = true;
  int rotations = 20;
  double segmentSeconds = 1.0;
  std::string signal = "tone";
};

// Passes everything to the real scheduler and notes when a one-shot timer (the recorder's
// only one: the segment timer) fires.
class TimingScheduler final : public Scheduler {
 public:
  explicit TimingScheduler(Scheduler& inner) : inner_(inner) {}
  TimePoint now() const override { return inner_.now(); }
  Duration monotonicNow() const override { return inner_.monotonicNow(); }
  void post(std::function<void()> fn) override { inner_.post(std::move(fn)); }
  std::unique_ptr<Timer> startTimer(Duration interval, bool repeating,
                                    std::function<void()> fn) override {
    if (repeating) return inner_.startTimer(interval, true, std::move(fn));
    return inner_.startTimer(interval, false, [this, fn = std::move(fn)] {
      firedAt = std::chrono::steady_clock::now();
      fn();
    });
  }
  std::optional<SteadyTime> firedAt;

 private:
  Scheduler& inner_;
};

double msSince(SteadyTime start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

// The real recorder; with handover off its continueInto is hidden, so a rotation stops the
// segment and records the next one afresh.
// Where the main thread's time goes in a rotation, in ms per call; touched on the main
// thread only.
struct StepTimes {
  std::vector<double> handover, stop, record, sha256, duration;
  bool started = false;  // the recording's first record() (a cold connection) is not counted
};

class BenchRecorder final : public recorder::MicrophoneRecorder {
 public:
  BenchRecorder(std::unique_ptr<recorder::MicrophoneRecorder> inner, bool handover,
                StepTimes& times)
      : inner_(std::move(inner)), handover_(handover), times_(times) {}
  bool record() override {
    const SteadyTime start = std::chrono::steady_clock::now();
    const bool ok = inner_->record();
    if (times_.started) times_.record.push_back(msSince(start));
    times_.started = true;
    return ok;
  }
  void stop() override {
    const SteadyTime start = std::chrono::steady_clock::now();
    inner_->stop();
    times_.stop.push_back(msSince(start));
  }
  double currentTime() const override { return inner_->currentTime(); }
  OptionalError failure() const override { return inner_->failure(); }
  std::shared_ptr<recorder::AppAudioFeed> appAudioFeed() override { return inner_->appAudioFeed(); }
  void updateMeters() override { inner_->updateMeters(); }
  float averagePowerForChannel(int channel) const override {
    return inner_->averagePowerForChannel(channel);
  }
  Result<std::unique_ptr<recorder::MicrophoneRecorder>> continueInto(
      const std::string& path) override {
    if (!handover_) return MicrophoneRecorder::continueInto(path);
    const SteadyTime start = std::chrono::steady_clock::now();
    auto next = inner_->continueInto(path);
    times_.handover.push_back(msSince(start));
    if (!next) return next.error();
    return std::unique_ptr<recorder::MicrophoneRecorder>(
        new BenchRecorder(std::move(next).value(), handover_, times_));
  }

 private:
  std::unique_ptr<recorder::MicrophoneRecorder> inner_;
  bool handover_;
  StepTimes& times_;
};

// The real services, with the time of the main thread's steps noted.
class BenchAudioServices final : public testing::ForwardingAudioServices {
 public:
  explicit BenchAudioServices(bool handover)
      : ForwardingAudioServices(std::make_shared<pulse::PulseAudioServices>()),
        handover_(handover) {}
  Result<std::unique_ptr<recorder::MicrophoneRecorder>> makeRecorder(
      const std::string& path, const recorder::RecorderSettings& settings) override {
    auto made = ForwardingAudioServices::makeRecorder(path, settings);
    if (!made) return made.error();
    return std::unique_ptr<recorder::MicrophoneRecorder>(
        new BenchRecorder(std::move(made).value(), handover_, times));
  }
  std::optional<int64_t> mediaDurationMs(const std::string& path) override {
    const SteadyTime start = std::chrono::steady_clock::now();
    auto ms = ForwardingAudioServices::mediaDurationMs(path);
    times.duration.push_back(msSince(start));
    return ms;
  }
  Result<std::string> sha256Hex(const std::string& path) override {
    const SteadyTime start = std::chrono::steady_clock::now();
    auto hex = ForwardingAudioServices::sha256Hex(path);
    times.sha256.push_back(msSince(start));
    return hex;
  }

  StepTimes times;

 private:
  bool handover_;
};

// The real application capture, with the time of each capture's stop noted.
class BenchCaptureSession final : public recorder::AppAudioCaptureSession {
 public:
  BenchCaptureSession(std::unique_ptr<recorder::AppAudioCaptureSession> inner,
                      std::vector<double>& stopMs)
      : inner_(std::move(inner)), stopMs_(stopMs) {}
  void start(std::function<void(OptionalError)> completion) override {
    inner_->start(std::move(completion));
  }
  void stop(std::function<void(OptionalError)> completion) override {
    const SteadyTime start = std::chrono::steady_clock::now();
    // Completes on the main thread, like every use of stopMs_.
    inner_->stop(
        [start, &stopMs = stopMs_, completion = std::move(completion)](OptionalError error) {
          stopMs.push_back(msSince(start));
          completion(std::move(error));
        });
  }
  void cancel() override { inner_->cancel(); }

 private:
  std::unique_ptr<recorder::AppAudioCaptureSession> inner_;
  std::vector<double>& stopMs_;
};

class BenchAppAudioServices final : public testing::ForwardingAppAudioServices {
 public:
  explicit BenchAppAudioServices(app_audio::PulseAppAudioOptions options)
      : ForwardingAppAudioServices(std::make_shared<app_audio::PulseAppAudioServices>(options)) {}
  std::unique_ptr<recorder::AppAudioCaptureSession> makeCaptureSession(
      const recorder::AppAudioTarget& target, std::shared_ptr<recorder::AppAudioFeed> feed,
      std::function<void(std::string)> onUnexpectedStop) override {
    auto session = ForwardingAppAudioServices::makeCaptureSession(target, std::move(feed),
                                                                  std::move(onUnexpectedStop));
    if (!session) return session;
    return std::make_unique<BenchCaptureSession>(std::move(session), stopMs);
  }

  std::vector<double> stopMs;
};

// Notes the time of each "segment_sealed" from its segment timer, and prints other events.
struct SealTimes {
  explicit SealTimes(TimingScheduler& timing) : timing(timing) {}
  void onEvent(const Value& value) {
    const auto at = std::chrono::steady_clock::now();
    const ValueMap* event = value.asMap();
    const std::string* type = event ? mapString(event, "type") : nullptr;
    if (type == nullptr || *type == "level_changed") return;
    if (*type == "segment_sealed") {
      sealedPaths.push_back(*mapString(event, "path"));
      if (timing.firedAt) {
        latenciesMs.push_back(
            std::chrono::duration<double, std::milli>(at - *timing.firedAt).count());
        timing.firedAt.reset();
      }
      return;
    }
    const std::string* message = mapString(event, "message");
    const std::string* reason = mapString(event, "reason");
    std::fprintf(stderr, "event %s %s\n", type->c_str(),
                 message  ? message->c_str()
                 : reason ? reason->c_str()
                          : "");
    ++otherEvents;
  }
  TimingScheduler& timing;
  std::vector<std::string> sealedPaths;
  std::vector<double> latenciesMs;
  int otherEvents = 0;
};

// Calls a method and waits (bounded) for its answer; whether it succeeded.
bool callAndWait(GMainContext* context, testing::FakeMessenger& messenger,
                 const std::string& method, const Value& args = Value()) {
  auto call = messenger.call(LumewellNativeRecorderPlugin::kMethodChannel, method, args);
  testing::spinUntil(
      context, [&] { return call->answered(); }, std::chrono::seconds(20));
  if (call->envelope && call->envelope->kind == MethodEnvelope::Kind::error) {
    const std::string* details = call->envelope->error.details.asString();
    std::fprintf(stderr, "answer: %s %s\n", call->envelope->error.code.c_str(),
                 details ? details->c_str() : "");
  }
  return call->isSuccess();
}

// Samples lost at each join of consecutive sealed files, from where their first and last
// samples sit in the played signal.
void reportGaps(const std::string& sourceWav, const std::vector<std::string>& files,
                double recordingStartInSource) {
  // The WAV source through the ffmpeg tool: the media layer reads MP4 files only.
  const std::vector<float> source = testing::decodeMono(sourceWav);
  constexpr size_t kWindow = 2048;
  // The windows sit at the very edges: a playback stall inside a file (the signal held back,
  // silence in its place) then shows as inner slip instead of moving a join.
  constexpr size_t kEdge = 0;
  int64_t previousEnd = -1;
  double worstScore = 1;
  std::vector<int64_t> gaps;
  for (size_t n = 0; n < files.size(); ++n) {
    const std::vector<float> pcm = testing::decodeMono(files[n]);
    if (pcm.size() < 2 * (kWindow + kEdge)) {
      std::printf("segment %zu: too short to place (%zu samples)\n", n, pcm.size());
      previousEnd = -1;
      continue;
    }
    const int64_t guess =
        previousEnd >= 0 ? previousEnd : static_cast<int64_t>(recordingStartInSource * 48000);
    const int64_t span = previousEnd >= 0 ? 48000 : 3 * 48000;
    const testing::Match headMatch =
        testing::locate(source, pcm, kEdge, kWindow, guess + static_cast<int64_t>(kEdge) - span,
                        guess + static_cast<int64_t>(kEdge) + span);
    const int64_t head = headMatch.position - static_cast<int64_t>(kEdge);
    const double headScore = headMatch.score;
    const size_t tailAt = pcm.size() - kEdge - kWindow;
    const int64_t expectTail = head + static_cast<int64_t>(tailAt);
    const testing::Match tailMatch =
        testing::locate(source, pcm, tailAt, kWindow, expectTail - 4800, expectTail + 4800);
    const int64_t tail = tailMatch.position - static_cast<int64_t>(tailAt);
    const double tailScore = tailMatch.score;
    worstScore = std::min({worstScore, headScore, tailScore});
    // Samples dropped or repeated inside the file would move its tail against its head.
    const int64_t inside = tail - head;
    std::printf(
        "segment %zu: %zu samples, starts at source sample %lld, inner slip %lld, match "
        "%.3f/%.3f\n",
        n, pcm.size(), static_cast<long long>(head), static_cast<long long>(inside), headScore,
        tailScore);
    if (previousEnd >= 0) {
      gaps.push_back(head - previousEnd);
      std::printf("join %zu->%zu: %lld samples lost (%.2f ms)\n", n - 1, n,
                  static_cast<long long>(head - previousEnd), (head - previousEnd) / 48.0);
    }
    previousEnd = tail + static_cast<int64_t>(pcm.size());
  }
  if (gaps.empty()) return;
  std::vector<int64_t> sorted = gaps;
  std::sort(sorted.begin(), sorted.end());
  std::printf("GAPS joins=%zu min=%lld median=%lld max=%lld worst_match=%.3f\n", gaps.size(),
              static_cast<long long>(sorted.front()),
              static_cast<long long>(sorted[sorted.size() / 2]),
              static_cast<long long>(sorted.back()), worstScore);
}

int run(const Options& options) {
  testing::TempDir work;
  // GLib reads the data home once: set before anything asks.
  setenv("XDG_DATA_HOME", (work.path() + "/data").c_str(), 1);

  testing::PulseServer server;
  std::string error;
  if (!server.start(&error)) {
    std::fprintf(stderr, "private PulseAudio: %s\n", error.c_str());
    return 1;
  }
  server.exportEnvironment();

  const double playSeconds = options.rotations * options.segmentSeconds + 20;
  const std::string micWav = work.path() + "/mic.wav";
  bool made = false;
  if (options.signal == "noise") {
    char command[512];
    std::snprintf(
        command, sizeof command,
        "sox -n -r 48000 -c 1 -b 16 '%s' synth %.1f whitenoise vol 0.5 lowpass 8000 norm -6",
        micWav.c_str(), playSeconds);
    made = std::system(command) == 0;
  } else {
    made = testing::PulseServer::makeToneWav(micWav, playSeconds, -6, 1000);
  }
  if (!made) {
    std::fprintf(stderr, "could not make %s\n", micWav.c_str());
    return 1;
  }
  const SteadyTime playStarted = std::chrono::steady_clock::now();
  // A deep playback buffer: a busy machine that stalls the player must not hold the signal
  // back, which would look like audio gained or lost at a join.
  const pid_t micPlayer = server.launch({"paplay", "--latency-msec=2000", "-d", "micfeed", micWav});
  if (micPlayer <= 0) return 1;

  pid_t appPlayer = -1;
  if (options.mode == "app") {
    const std::string appWav = work.path() + "/app.wav";
    if (!testing::PulseServer::makeToneWav(appWav, playSeconds, -12, 440)) return 1;
    appPlayer = server.launch({"paplay", "--client-name=BenchMeeting",
                               "--property=application.name=BenchMeeting", "-d", "vsink",
                               "--latency-msec=20", appWav});
    if (appPlayer <= 0) return 1;
  }

  GMainContext* context = g_main_context_new();
  int status = 0;
  {
    GLibScheduler glib(context);
    TimingScheduler timing(glib);
    auto audio = std::make_shared<BenchAudioServices>(options.handover);
    app_audio::PulseAppAudioOptions appOptions;
    appOptions.scheduler = &glib;
    auto appAudio = std::make_shared<BenchAppAudioServices>(appOptions);
    auto plugin = std::make_shared<LumewellNativeRecorderPlugin>(timing, audio, appAudio);
    plugin->setSegmentDuration(options.segmentSeconds);
    testing::FakeMessenger messenger(
        [](const std::string& what) { std::fprintf(stderr, "fault: %s\n", what.c_str()); });
    SealTimes seals(timing);
    messenger.onEvent = [&seals](const std::string&, const Value& event) { seals.onEvent(event); };
    plugin->registerChannels(messenger);
    messenger.call(LumewellNativeRecorderPlugin::kEventChannel, "listen");

    // Let the players' streams run before the recording starts.
    testing::spinUntil(
        context, [] { return false; }, 1500ms);
    ValueMap args{{"recordingId", "bench"},
                  {"captureMode", options.mode == "app" ? "MIC_PLUS_APP_AUDIO" : "MIC_ONLY"}};
    if (appPlayer > 0) args.set("sourceId", std::to_string(appPlayer));
    const SteadyTime startCalled = std::chrono::steady_clock::now();
    if (!callAndWait(context, messenger, "startRecording", Value(args))) {
      std::fprintf(stderr, "startRecording failed\n");
      status = 1;
    } else {
      const auto limit = std::chrono::milliseconds(
          static_cast<int64_t>(options.rotations * (options.segmentSeconds + 2) * 1000) + 10000);
      testing::spinUntil(
          context, [&] { return static_cast<int>(seals.latenciesMs.size()) >= options.rotations; },
          limit);
      // The segment that the stop seals is long enough to be placed in the signal too.
      testing::spinUntil(
          context, [] { return false; },
          std::chrono::milliseconds(static_cast<int64_t>(options.segmentSeconds * 500)));
      callAndWait(context, messenger, "stopRecording");
    }

    std::vector<double> sorted = seals.latenciesMs;
    std::sort(sorted.begin(), sorted.end());
    if (!sorted.empty()) {
      double sum = 0;
      for (double v : sorted) sum += v;
      std::printf(
          "SEAL mode=%s handover=%s segment_s=%.2f rotations=%zu median_ms=%.2f "
          "mean_ms=%.2f max_ms=%.2f min_ms=%.2f other_events=%d\n",
          options.mode.c_str(), options.handover ? "on" : "off", options.segmentSeconds,
          sorted.size(), sorted[sorted.size() / 2], sum / sorted.size(), sorted.back(),
          sorted.front(), seals.otherEvents);
    }
    auto medianOf = [](std::vector<double> v) {
      std::sort(v.begin(), v.end());
      return v.empty() ? 0.0 : v[v.size() / 2];
    };
    std::printf(
        "STEPS handover_median_ms=%.2f stop_median_ms=%.2f record_median_ms=%.2f "
        "sha256_median_ms=%.2f duration_median_ms=%.2f\n",
        medianOf(audio->times.handover), medianOf(audio->times.stop), medianOf(audio->times.record),
        medianOf(audio->times.sha256), medianOf(audio->times.duration));
    if (options.mode == "app") {
      std::printf("APP_STEPS capture_stop_median_ms=%.2f\n", medianOf(appAudio->stopMs));
    }
    if (static_cast<int>(sorted.size()) < options.rotations) {
      std::fprintf(stderr, "only %zu rotations completed\n", sorted.size());
      status = 1;
    }
    plugin.reset();
    if (options.signal == "noise" && status == 0) {
      const double offset = std::chrono::duration<double>(startCalled - playStarted).count();
      reportGaps(micWav, seals.sealedPaths, offset);
    }
  }
  g_main_context_unref(context);
  return status;
}

}  // namespace
}  // namespace lumewell

int main(int argc, char** argv) {
  lumewell::Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    const std::string value = argv[i + 1];
    if (key == "--mode") {
      options.mode = value;
    } else if (key == "--handover") {
      options.handover = value != "off";
    } else if (key == "--rotations") {
      options.rotations = std::max(1, std::atoi(value.c_str()));
    } else if (key == "--segment") {
      options.segmentSeconds = std::max(0.2, std::atof(value.c_str()));
    } else if (key == "--signal") {
      options.signal = value;
    } else {
      std::fprintf(stderr, "unknown option %s\n", key.c_str());
      return 2;
    }
  }
  if ((argc - 1) % 2 != 0 || (options.mode != "mic" && options.mode != "app")) {
    std::fprintf(stderr,
                 "usage: %s [--mode mic|app] [--handover on|off] [--rotations N] "
                 "[--segment SECONDS] [--signal tone|noise]\n",
                 argv[0]);
    return 2;
  }
  return lumewell::run(options);
}
