#include "pulse/pulse_microphone_recorder.h"

#include <algorithm>

#include "pulse/pulse_connection.h"

namespace lumewell::pulse {

namespace {

using namespace std::chrono_literals;

// How long a start waits for the first audio: servers that have just started, or resume a
// suspended source, deliver the first block up to a second or so after the stream is ready.
constexpr auto kFirstAudioLimit = 2000ms;
// A cut waits this long for the capture to reach it (the timer ahead of the sample clock by
// the capture's latency), and the earlier file as long for the encoder to pass it.
constexpr auto kCutLimit = 1000ms;

class LiveMixFeed final : public recorder::AppAudioFeed {
 public:
  explicit LiveMixFeed(std::shared_ptr<media::LiveMix> mix) : mix_(std::move(mix)) {}
  void push(const float* stereo, size_t frames) override { mix_->pushSecondary(stereo, frames); }
  void restart() override { mix_->resetSecondary(); }

 private:
  std::shared_ptr<media::LiveMix> mix_;
};

}  // namespace

Result<std::unique_ptr<PulseMicrophoneRecorder>> PulseMicrophoneRecorder::create(
    const std::string& path, const recorder::RecorderSettings& settings,
    const std::string& device) {
  if (settings.channels < 1 || settings.channels > 2) {
    return Error{kPulseErrorDomain, PA_ERR_NOTSUPPORTED,
                 "Unsupported channel count " + std::to_string(settings.channels) + "."};
  }
  if (settings.mixAppAudio && settings.channels != 2) {
    return Error{kPulseErrorDomain, PA_ERR_NOTSUPPORTED,
                 "Mixing an application's audio needs a stereo recording."};
  }
  media::AacWriterSettings writerSettings;
  writerSettings.sampleRate = settings.sampleRate;
  writerSettings.channels = settings.channels;
  writerSettings.bitRate = settings.bitRate;
  auto writer = media::SegmentedAacWriter::create(path, writerSettings, media::makeRunId());
  if (!writer) return writer.error();
  auto run = std::make_shared<Run>();
  std::shared_ptr<media::LiveMix> mix;
  if (settings.mixAppAudio) {
    mix = std::make_shared<media::LiveMix>();
    run->feed = std::make_shared<LiveMixFeed>(mix);
  }
  run->sink = std::make_shared<RecordingFileSink>(std::move(writer).value(), std::move(mix));
  return std::unique_ptr<PulseMicrophoneRecorder>(
      new PulseMicrophoneRecorder(path, settings, device, std::move(run), 0));
}

PulseMicrophoneRecorder::PulseMicrophoneRecorder(std::string path,
                                                 const recorder::RecorderSettings& settings,
                                                 std::string device, std::shared_ptr<Run> run,
                                                 int64_t firstFrame)
    : path_(std::move(path)),
      settings_(settings),
      device_(std::move(device)),
      run_(std::move(run)),
      firstFrame_(firstFrame) {}

PulseMicrophoneRecorder::~PulseMicrophoneRecorder() { stop(); }

bool PulseMicrophoneRecorder::record() {
  if (run_->capture) return !endFrame_;
  if (stopped_) return false;
  CaptureOptions options;
  options.sampleRate = settings_.sampleRate;
  options.channels = settings_.channels;
  options.device = device_;
  if (settings_.segmentFrames > 0) run_->sink->holdFrom(firstFrame_ + settings_.segmentFrames);
  auto capture = PulseCaptureStream::open(options, run_->sink);
  if (!capture) {
    lastError_ = capture.error();
    return false;
  }
  run_->capture = std::move(capture).value();
  lastError_.reset();
  // A source that stays silent past the limit still records: the answer just comes.
  if (settings_.awaitFirstAudio) run_->sink->waitForAudio(kFirstAudioLimit);
  return true;
}

void PulseMicrophoneRecorder::stop() {
  if (stopped_) return;
  stopped_ = true;
  if (endFrame_) {
    // The run goes on in the next file; this one is complete once the encoder passed the cut.
    if (auto error = run_->sink->waitForCutFile(kCutLimit)) lastError_ = error;
    return;
  }
  if (run_->capture) {
    run_->capture->stop();
    run_->captureWasLost = run_->capture->ended();
    run_->capture.reset();
  }
  if (auto error = run_->sink->finish()) lastError_ = error;
}

double PulseMicrophoneRecorder::currentTime() const {
  const int64_t end = endFrame_ ? *endFrame_ : run_->sink->frames();
  return static_cast<double>(std::max<int64_t>(0, end - firstFrame_)) / run_->sink->sampleRate();
}

void PulseMicrophoneRecorder::updateMeters() { reading_ = run_->sink->takeMeterReading(); }

float PulseMicrophoneRecorder::averagePowerForChannel(int channel) const {
  if (channel < 0 || channel >= static_cast<int>(reading_.averagePowerDb.size()) ||
      channel >= run_->sink->channels()) {
    return kMeterFloorDb;
  }
  return reading_.averagePowerDb[static_cast<size_t>(channel)];
}

OptionalError PulseMicrophoneRecorder::failure() const {
  if (auto error = run_->sink->writeError()) return error;
  if (!run_->capture || !run_->capture->ended()) return std::nullopt;
  if (run_->capture->serverLost()) {
    return Error{kPulseErrorDomain, PA_ERR_CONNECTIONTERMINATED,
                 "The connection to the sound server was lost."};
  }
  return Error{kPulseErrorDomain, PA_ERR_NOENTITY,
               "The microphone capture ended: no capture source is left."};
}

bool PulseMicrophoneRecorder::captureLost() const {
  return run_->capture ? run_->capture->ended() : run_->captureWasLost;
}

Result<std::unique_ptr<recorder::MicrophoneRecorder>> PulseMicrophoneRecorder::continueInto(
    const std::string& path) {
  // A capture the server ended would feed the next file nothing; a fresh one reconnects.
  if (!run_->capture || stopped_ || endFrame_ || run_->capture->ended()) {
    return pulseError(PA_ERR_BADSTATE);
  }
  const int64_t at =
      settings_.segmentFrames > 0 ? firstFrame_ + settings_.segmentFrames : run_->sink->frames();
  Result<int64_t> cut = run_->sink->cut(at, path, kCutLimit, settings_.segmentFrames);
  if (!cut) return cut.error();
  endFrame_ = *cut;
  return std::unique_ptr<recorder::MicrophoneRecorder>(
      new PulseMicrophoneRecorder(path, settings_, device_, run_, *cut));
}

}  // namespace lumewell::pulse
