#include "pulse/pulse_microphone_recorder.h"

#include "pulse/pulse_connection.h"

namespace lumewell::pulse {

Result<std::unique_ptr<PulseMicrophoneRecorder>> PulseMicrophoneRecorder::create(
    const std::string& path, const recorder::RecorderSettings& settings,
    const std::string& device) {
  if (settings.channels < 1 || settings.channels > 2) {
    return Error{kPulseErrorDomain, PA_ERR_NOTSUPPORTED,
                 "Unsupported channel count " + std::to_string(settings.channels) + "."};
  }
  media::AacWriterSettings writerSettings;
  writerSettings.sampleRate = settings.sampleRate;
  writerSettings.channels = settings.channels;
  writerSettings.bitRate = settings.bitRate;
  auto writer = media::AacFileWriter::create(path, writerSettings);
  if (!writer) return writer.error();
  auto sink = std::make_shared<RecordingFileSink>(std::move(writer).value());
  return std::unique_ptr<PulseMicrophoneRecorder>(
      new PulseMicrophoneRecorder(path, settings, device, std::move(sink)));
}

PulseMicrophoneRecorder::PulseMicrophoneRecorder(std::string path,
                                                 const recorder::RecorderSettings& settings,
                                                 std::string device,
                                                 std::shared_ptr<RecordingFileSink> sink)
    : path_(std::move(path)),
      settings_(settings),
      device_(std::move(device)),
      sink_(std::move(sink)) {}

PulseMicrophoneRecorder::~PulseMicrophoneRecorder() { stop(); }

bool PulseMicrophoneRecorder::record() {
  if (capture_) return true;
  if (stopped_) return false;
  CaptureOptions options;
  options.sampleRate = settings_.sampleRate;
  options.channels = settings_.channels;
  options.device = device_;
  auto capture = PulseCaptureStream::open(options, sink_);
  if (!capture) {
    lastError_ = capture.error();
    return false;
  }
  capture_ = std::move(capture).value();
  lastError_.reset();
  return true;
}

void PulseMicrophoneRecorder::stop() {
  if (stopped_) return;
  stopped_ = true;
  if (capture_) {
    capture_->stop();
    captureWasLost_ = capture_->ended();
    capture_.reset();
  }
  if (auto error = sink_->finish()) lastError_ = error;
}

double PulseMicrophoneRecorder::currentTime() const {
  return static_cast<double>(sink_->frames()) / sink_->sampleRate();
}

void PulseMicrophoneRecorder::updateMeters() { reading_ = sink_->takeMeterReading(); }

float PulseMicrophoneRecorder::averagePowerForChannel(int channel) const {
  if (channel < 0 || channel >= static_cast<int>(reading_.averagePowerDb.size()) ||
      channel >= sink_->channels()) {
    return kMeterFloorDb;
  }
  return reading_.averagePowerDb[static_cast<size_t>(channel)];
}

OptionalError PulseMicrophoneRecorder::failure() const {
  if (auto error = sink_->writeError()) return error;
  if (!capture_ || !capture_->ended()) return std::nullopt;
  if (capture_->serverLost()) {
    return Error{kPulseErrorDomain, PA_ERR_CONNECTIONTERMINATED,
                 "The connection to the sound server was lost."};
  }
  return Error{kPulseErrorDomain, PA_ERR_NOENTITY,
               "The microphone capture ended: no capture source is left."};
}

bool PulseMicrophoneRecorder::captureLost() const {
  return capture_ ? capture_->ended() : captureWasLost_;
}

Result<std::unique_ptr<recorder::MicrophoneRecorder>> PulseMicrophoneRecorder::continueInto(
    const std::string& path) {
  // A capture the server ended would feed the next file nothing; a fresh one reconnects.
  if (!capture_ || stopped_ || capture_->ended()) return pulseError(PA_ERR_BADSTATE);
  auto next = create(path, settings_, device_);
  if (!next) return next.error();
  capture_->replaceSink((*next)->sink_);
  (*next)->capture_ = std::move(capture_);
  return std::unique_ptr<recorder::MicrophoneRecorder>(std::move(next).value());
}

}  // namespace lumewell::pulse
