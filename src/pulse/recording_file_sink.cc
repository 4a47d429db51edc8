#include "pulse/recording_file_sink.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

namespace lumewell::pulse {

RecordingFileSink::RecordingFileSink(std::unique_ptr<media::SegmentedAacWriter> writer,
                                     std::shared_ptr<media::LiveMix> mix)
    : writer_(std::move(writer)),
      mix_(writer_->settings().channels == 2 ? std::move(mix) : nullptr),
      channels_(writer_->settings().channels),
      sampleRate_(writer_->settings().sampleRate) {}

namespace {

// The sum of squares of every Stride-th sample, in eight float lanes the compiler keeps in one
// vector register; a call sums at most a block, which float holds well enough for a meter.
template <size_t Stride>
double sumOfSquares(const float* samples, size_t count) {
  std::array<float, 8> lanes{};
  size_t i = 0;
  for (; i + lanes.size() <= count; i += lanes.size()) {
    for (size_t lane = 0; lane < lanes.size(); ++lane) {
      const float v = samples[(i + lane) * Stride];
      lanes[lane] += v * v;
    }
  }
  double sum = 0;
  for (const float lane : lanes) sum += lane;
  for (; i < count; ++i) sum += static_cast<double>(samples[i * Stride]) * samples[i * Stride];
  return sum;
}

}  // namespace

void RecordingFileSink::arrived(const float* interleaved, size_t frames) {
  // The recorder makes mono and stereo sinks only.
  std::array<double, 2> squares{};
  if (channels_ == 1) {
    squares[0] = sumOfSquares<1>(interleaved, frames);
  } else {
    squares = {sumOfSquares<2>(interleaved, frames), sumOfSquares<2>(interleaved + 1, frames)};
  }
  std::lock_guard lock(meterMutex_);
  for (int c = 0; c < std::min(channels_, 2); ++c) sumSquares_[c] += squares[c];
  meteredFrames_ += static_cast<int64_t>(frames);
}

void RecordingFileSink::consume(const float* interleaved, size_t frames) {
  if (mix_) {
    mixed_.assign(interleaved, interleaved + frames * 2);
    mix_->mixInto(mixed_.data(), frames);
    interleaved = mixed_.data();
  }
  {
    std::lock_guard lock(mutex_);
    // A broken file takes nothing more; a later finish() reports why.
    if (writeError_ || finished_) return;
    feedLocked(interleaved, frames);
    if (!writeError_) frames_.fetch_add(static_cast<int64_t>(frames), std::memory_order_relaxed);
  }
  progressed_.notify_all();
}

void RecordingFileSink::feedLocked(const float* interleaved, size_t frames) {
  const auto channels = static_cast<size_t>(channels_);
  size_t direct = frames;
  if (!held_.empty()) {
    direct = 0;  // behind what already waits
  } else if (holdFrom_ >= 0) {
    direct =
        static_cast<size_t>(std::clamp<int64_t>(holdFrom_ - fed_, 0, static_cast<int64_t>(frames)));
  }
  if (direct > 0) {
    if (OptionalError error = writer_->write(interleaved, direct)) {
      failLocked(*error);
      return;
    }
    fed_ += static_cast<int64_t>(direct);
  }
  held_.insert(held_.end(), interleaved + direct * channels, interleaved + frames * channels);
  if (static_cast<int64_t>(held_.size() / channels) > kMaxHeldMs * sampleRate_ / 1000) {
    releaseHeldLocked(-1);  // no cut came in time: the current file grows
  }
}

void RecordingFileSink::releaseHeldLocked(int64_t nextHold) {
  std::vector<float> held;
  held.swap(held_);
  setHoldLocked(nextHold);
  if (!held.empty()) feedLocked(held.data(), held.size() / static_cast<size_t>(channels_));
}

void RecordingFileSink::holdFrom(int64_t frame) {
  std::lock_guard lock(mutex_);
  if (held_.empty()) setHoldLocked(frame);
}

void RecordingFileSink::setHoldLocked(int64_t frame) {
  holdFrom_ = frame;
  nextCut_.store(frame, std::memory_order_relaxed);
}

MeterReading RecordingFileSink::takeMeterReading() {
  std::lock_guard lock(meterMutex_);
  // The capture hands PCM on in blocks about as long as the meter's period, so now and then a
  // reading finds nothing new: it repeats the last one once, then falls to the floor.
  if (meteredFrames_ == 0) return std::exchange(lastReading_, MeterReading{});
  MeterReading reading;
  for (int c = 0; c < std::min(channels_, 2); ++c) {
    const double meanSquare = sumSquares_[c] / static_cast<double>(meteredFrames_);
    const double db = meanSquare > 0 ? 10.0 * std::log10(meanSquare) : kMeterFloorDb;
    reading.averagePowerDb[c] =
        std::isfinite(db) && db > kMeterFloorDb ? static_cast<float>(db) : kMeterFloorDb;
  }
  sumSquares_ = {};
  meteredFrames_ = 0;
  lastReading_ = reading;
  return reading;
}

bool RecordingFileSink::waitForAudio(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  return progressed_.wait_for(lock, limit, [this] { return frames() > 0 || writeError_; });
}

Result<int64_t> RecordingFileSink::cut(int64_t at, const std::string& nextPath,
                                       std::chrono::milliseconds limit, int64_t nextHoldFrames) {
  std::unique_lock lock(mutex_);
  progressed_.wait_for(lock, limit, [&] { return frames() >= at || writeError_; });
  if (writeError_) return *writeError_;
  Result<int64_t> placed = writer_->cut(std::min(at, frames()), nextPath);
  if (!placed) {
    failLocked(placed.error());
    return placed;
  }
  releaseHeldLocked(nextHoldFrames > 0 ? *placed + nextHoldFrames : -1);
  if (writeError_) return *writeError_;
  return placed;
}

OptionalError RecordingFileSink::waitForCutFile(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  progressed_.wait_for(lock, limit, [this] { return !writer_->cutPending() || writeError_; });
  const std::vector<float> silence(1024 * static_cast<size_t>(channels_), 0.0f);
  for (int i = 0; i < 8 && writer_->cutPending() && !writeError_ && !finished_; ++i) {
    feedLocked(silence.data(), 1024);
    if (!writeError_) frames_.fetch_add(1024, std::memory_order_relaxed);
  }
  return writeError_;
}

OptionalError RecordingFileSink::finish() {
  std::lock_guard lock(mutex_);
  if (!writeError_) releaseHeldLocked(-1);  // a stop after the segment's end keeps it all
  finished_ = true;
  OptionalError finished = writer_->finish();
  return writeError_ ? writeError_ : finished;
}

void RecordingFileSink::failLocked(const Error& error) {
  writeError_ = error;
  std::lock_guard lock(errorMutex_);
  publishedError_ = error;
}

OptionalError RecordingFileSink::writeError() const {
  std::lock_guard lock(errorMutex_);
  return publishedError_;
}

}  // namespace lumewell::pulse
