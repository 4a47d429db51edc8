#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "media/live_mix.h"
#include "media/segmented_aac_writer.h"
#include "pulse/pulse_capture_stream.h"
#include "runtime/error.h"

namespace lumewell::pulse {

// Average power of a stretch of PCM per channel, in dBFS (20 log10 rms), -160 when silent or
// when no PCM arrived.
inline constexpr float kMeterFloorDb = -160.0f;
struct MeterReading {
  std::array<float, 2> averagePowerDb{kMeterFloorDb, kMeterFloorDb};
};

// A capture stream's sink that encodes one run into a chain of .m4a files and keeps level
// sums for metering. With a live mix (stereo only), a second stream is added to the capture's
// PCM before it is encoded; the meter reads the capture alone, as it arrives. consume() runs
// on the capture worker, arrived() on the server's thread; the other calls come from any
// thread.
class RecordingFileSink : public PcmSink {
 public:
  explicit RecordingFileSink(std::unique_ptr<media::SegmentedAacWriter> writer,
                             std::shared_ptr<media::LiveMix> mix = nullptr);

  void consume(const float* interleaved, size_t frames) override;
  void arrived(const float* interleaved, size_t frames) override;
  int64_t nextCutFrame() const override { return nextCut_.load(std::memory_order_relaxed); }

  // The level of the PCM that arrived since the previous call; with none, the previous
  // reading once more, then the floor.
  MeterReading takeMeterReading();
  // Frames of the run consumed so far.
  int64_t frames() const { return frames_.load(std::memory_order_relaxed); }
  int channels() const { return channels_; }
  int sampleRate() const { return sampleRate_; }

  // Waits until the first PCM arrived, at most limit; whether it did.
  bool waitForAudio(std::chrono::milliseconds limit);
  // PCM from this run frame on waits for the next cut instead of reaching the encoder, so a
  // segment timer that fires late still cuts at its frame and every rotated file holds
  // exactly its length. At most kMaxHeldMs wait: held PCM is in no file yet, so a crash
  // would lose it; a timer later than that gives a longer file instead. Negative: no hold.
  void holdFrom(int64_t frame);
  static constexpr int64_t kMaxHeldMs = 500;
  // Ends the current file at run frame `at` and goes on into nextPath, once the capture has
  // got there (waiting at most limit; then the cut is where the capture is). What was held
  // goes on into nextPath, held again from the cut + nextHoldFrames (none when <= 0).
  // Answers the frame the cut is at.
  Result<int64_t> cut(int64_t at, const std::string& nextPath, std::chrono::milliseconds limit,
                      int64_t nextHoldFrames = 0);
  // Waits until the file before the last cut is complete, at most limit. A capture that
  // delivers nothing meanwhile cannot push the encoder past the cut: then a few frames of
  // silence after the cut do, so the earlier file still holds exactly its samples.
  OptionalError waitForCutFile(std::chrono::milliseconds limit);
  // Completes the run's files. Only once no capture delivers to this sink any more.
  OptionalError finish();
  // The first write error, if any. Never waits for the encoder or the disk: the meter timer
  // asks on the main thread while a fragment may be on its way to the disk.
  OptionalError writeError() const;

 private:
  // With mutex_ held: hands PCM to the writer in order, keeping back what lies past the hold.
  void feedLocked(const float* interleaved, size_t frames);
  void releaseHeldLocked(int64_t nextHold);
  void setHoldLocked(int64_t frame);
  void failLocked(const Error& error);

  std::unique_ptr<media::SegmentedAacWriter> writer_;
  const std::shared_ptr<media::LiveMix> mix_;
  std::vector<float> mixed_;  // the capture worker's
  const int channels_;
  const int sampleRate_;
  std::atomic<int64_t> frames_{0};
  mutable std::mutex mutex_;  // guards the writer and the two fields below
  std::condition_variable progressed_;
  bool finished_ = false;
  OptionalError writeError_;
  int64_t fed_ = 0;                   // run frames handed to the writer
  int64_t holdFrom_ = -1;             // run frame from which PCM is held; -1: none
  std::atomic<int64_t> nextCut_{-1};  // holdFrom_, for the capture's thread
  std::vector<float> held_;           // interleaved PCM from fed_ on, waiting for the cut
  mutable std::mutex errorMutex_;     // guards publishedError_, a copy of writeError_
  OptionalError publishedError_;
  // The meter has its own lock: a reading never waits behind the encoder or the disk.
  std::mutex meterMutex_;
  std::array<double, 2> sumSquares_{};
  int64_t meteredFrames_ = 0;
  MeterReading lastReading_;  // repeated once by a reading that finds no new PCM
};

}  // namespace lumewell::pulse
