#include "pulse/recording_file_sink.h"

#include <cmath>

namespace lumewell::pulse {

RecordingFileSink::RecordingFileSink(std::unique_ptr<media::AacFileWriter> writer)
    : writer_(std::move(writer)),
      channels_(writer_->settings().channels),
      sampleRate_(writer_->settings().sampleRate) {}

void RecordingFileSink::consume(const float* interleaved, size_t frames) {
  std::array<double, 2> squares{};
  const int metered = std::min(channels_, 2);
  for (size_t i = 0; i < frames; ++i) {
    for (int c = 0; c < metered; ++c) {
      const double v = interleaved[i * static_cast<size_t>(channels_) + c];
      squares[c] += v * v;
    }
  }
  OptionalError error;
  {
    std::lock_guard lock(mutex_);
    if (writeError_) return;  // the file is broken; a later finish() reports why
  }
  error = writer_->write(interleaved, frames);
  std::lock_guard lock(mutex_);
  for (int c = 0; c < metered; ++c) sumSquares_[c] += squares[c];
  meteredFrames_ += static_cast<int64_t>(frames);
  if (error) {
    writeError_ = error;
    return;
  }
  frames_.fetch_add(static_cast<int64_t>(frames), std::memory_order_relaxed);
}

MeterReading RecordingFileSink::takeMeterReading() {
  std::lock_guard lock(mutex_);
  MeterReading reading;
  if (meteredFrames_ > 0) {
    for (int c = 0; c < std::min(channels_, 2); ++c) {
      const double meanSquare = sumSquares_[c] / static_cast<double>(meteredFrames_);
      const double db = meanSquare > 0 ? 10.0 * std::log10(meanSquare) : kMeterFloorDb;
      reading.averagePowerDb[c] =
          std::isfinite(db) && db > kMeterFloorDb ? static_cast<float>(db) : kMeterFloorDb;
    }
  }
  sumSquares_ = {};
  meteredFrames_ = 0;
  return reading;
}

OptionalError RecordingFileSink::finish() {
  OptionalError finished = writer_->finish();
  std::lock_guard lock(mutex_);
  return writeError_ ? writeError_ : finished;
}

OptionalError RecordingFileSink::writeError() const {
  std::lock_guard lock(mutex_);
  return writeError_;
}

}  // namespace lumewell::pulse
