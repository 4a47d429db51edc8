#include "media/live_mix.h"

#include <algorithm>

namespace lumewell::media {

LiveMix::LiveMix(LiveMixSettings settings)
    : settings_(settings), ring_(std::max<size_t>(settings.capacityFrames, 1) * 2, 0.0f) {}

void LiveMix::pushSecondary(const float* stereo, size_t frames) {
  const size_t capacity = ring_.size() / 2;
  std::lock_guard lock(mutex_);
  if (frames > capacity) {
    stereo += (frames - capacity) * 2;
    frames = capacity;
  }
  if (size_ + frames > capacity) dropOldest(size_ + frames - capacity);
  size_t tail = (head_ + size_) % capacity;
  for (size_t i = 0; i < frames; ++i) {
    ring_[tail * 2] = stereo[i * 2];
    ring_[tail * 2 + 1] = stereo[i * 2 + 1];
    tail = tail + 1 == capacity ? 0 : tail + 1;
  }
  size_ += frames;
}

void LiveMix::resetSecondary() {
  std::lock_guard lock(mutex_);
  head_ = size_ = 0;
  primed_ = false;
  correcting_ = 0;
  last_[0] = last_[1] = 0;
}

size_t LiveMix::queuedFrames() const {
  std::lock_guard lock(mutex_);
  return size_;
}

void LiveMix::dropOldest(size_t frames) {
  frames = std::min(frames, size_);
  head_ = (head_ + frames) % (ring_.size() / 2);
  size_ -= frames;
}

void LiveMix::popFrame(float* frame) {
  frame[0] = ring_[head_ * 2];
  frame[1] = ring_[head_ * 2 + 1];
  head_ = head_ + 1 == ring_.size() / 2 ? 0 : head_ + 1;
  --size_;
}

void LiveMix::mixInto(float* stereo, size_t frames) {
  {
    std::lock_guard lock(mutex_);
    const auto target = static_cast<double>(settings_.targetFrames);
    // The distance the second stream runs behind is what stays queued after a take, whatever
    // the size of the master's blocks (a master that stalled brings a long one).
    if (!primed_ && size_ >= settings_.targetFrames + frames) {
      primed_ = true;
      averageQueued_ = static_cast<double>(size_ - frames);
      correcting_ = 0;
    }
    if (primed_) {
      size_t remaining = size_ > frames ? size_ - frames : 0;
      if (remaining > settings_.targetFrames + settings_.jumpFrames) {
        dropOldest(remaining - settings_.targetFrames);
        remaining = settings_.targetFrames;
        averageQueued_ = target;
      }
      // Smoothed over about two seconds: single deliveries move it by their size, the drift
      // by a few frames a second.
      const double weight = std::min(1.0, static_cast<double>(frames) / 96000.0);
      averageQueued_ += (static_cast<double>(remaining) - averageQueued_) * weight;
      const auto band = static_cast<double>(settings_.bandFrames);
      if (averageQueued_ > target + band) correcting_ = 1;
      if (averageQueued_ < target - band) correcting_ = -1;
      if ((correcting_ > 0 && averageQueued_ <= target) ||
          (correcting_ < 0 && averageQueued_ >= target)) {
        correcting_ = 0;
      }
      const size_t spacing = std::max<size_t>(settings_.correctionSpacing, 2);
      for (size_t i = 0; i < frames; ++i) {
        const bool correctHere = correcting_ != 0 && i % spacing == spacing / 2;
        if (correctHere && correcting_ < 0) {
          // Repeat the previous frame: the queue gives one frame less.
        } else {
          if (size_ == 0) {
            primed_ = false;  // ran dry: the rest is silence until the cushion is back
            break;
          }
          popFrame(last_);
          if (correctHere && size_ > 0) popFrame(last_);  // drop one frame
        }
        stereo[i * 2] += last_[0];
        stereo[i * 2 + 1] += last_[1];
      }
    }
  }
  for (size_t i = 0; i < frames * 2; ++i) stereo[i] = std::clamp(stereo[i], -1.0f, 1.0f);
}

}  // namespace lumewell::media
