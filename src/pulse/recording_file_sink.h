#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <mutex>

#include "media/aac_file_writer.h"
#include "pulse/pulse_capture_stream.h"
#include "runtime/error.h"

namespace lumewell::pulse {

// Average power of a stretch of PCM per channel, in dBFS (20 log10 rms), -160 when silent or
// when no PCM arrived.
inline constexpr float kMeterFloorDb = -160.0f;
struct MeterReading {
  std::array<float, 2> averagePowerDb{kMeterFloorDb, kMeterFloorDb};
};

// A capture stream's sink that encodes into one .m4a file and keeps level sums for metering.
// consume() runs on the capture worker; the other calls come from any thread.
class RecordingFileSink : public PcmSink {
 public:
  explicit RecordingFileSink(std::unique_ptr<media::AacFileWriter> writer);

  void consume(const float* interleaved, size_t frames) override;

  // The level of the PCM consumed since the previous call.
  MeterReading takeMeterReading();
  // Frames the file holds.
  int64_t frames() const { return frames_.load(std::memory_order_relaxed); }
  int channels() const { return channels_; }
  int sampleRate() const { return sampleRate_; }

  // Completes the file. Only once no capture delivers to this sink any more.
  OptionalError finish();
  // The first write error, if any.
  OptionalError writeError() const;

 private:
  std::unique_ptr<media::AacFileWriter> writer_;
  const int channels_;
  const int sampleRate_;
  std::atomic<int64_t> frames_{0};
  mutable std::mutex mutex_;  // guards the fields below
  std::array<double, 2> sumSquares_{};
  int64_t meteredFrames_ = 0;
  OptionalError writeError_;
};

}  // namespace lumewell::pulse
