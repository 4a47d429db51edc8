#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace lumewell::media {

struct LiveMixSettings {
  // The cushion of application audio held ahead of the microphone, so that deliveries of
  // either side arriving a little early or late neither starve nor overflow the mix.
  size_t targetFrames = 4800;  // 100 ms at 48 kHz
  // How far the held audio may stray from the cushion before the drift is corrected.
  size_t bandFrames = 480;  // 10 ms
  // More left held after a take than cushion plus this (a stalled delivery arriving all at
  // once): the oldest audio beyond the cushion is dropped at once.
  size_t jumpFrames = 12000;  // 250 ms
  // At most this much is held, however long nothing is taken.
  size_t capacityFrames = 48000;
  // Corrections while drifting: at most one frame dropped or repeated per this many.
  size_t correctionSpacing = 500;  // 0.2 %: twice what two devices' clocks drift apart
};

// Mixes a second stereo stream (the application's audio) into the master's stereo PCM (the
// microphone's) as both arrive. The master is the clock: every frame it brings goes out, with
// the second stream's next frame added at unchanged level, or nothing added while the second
// stream has no audio held (silence, never a wait). The second stream's audio waits in a
// bounded queue; the drift between the two devices' clocks shows as that queue slowly
// filling or emptying, and is taken out by dropping or repeating single frames, spread
// thinly, so that the second stream stays at a fixed distance behind the master. After the
// queue ran dry, mixing resumes once the cushion is held again.
// pushSecondary/resetSecondary and mixInto may be called from different threads.
class LiveMix {
 public:
  explicit LiveMix(LiveMixSettings settings = {});

  // Queues frames of the second stream (interleaved stereo).
  void pushSecondary(const float* stereo, size_t frames);
  // Drops what is queued: the second stream starts afresh (a new capture of it).
  void resetSecondary();
  // Adds the second stream onto frames of the master (interleaved stereo, in place) and
  // limits every sample to [-1, 1].
  void mixInto(float* stereo, size_t frames);

  size_t queuedFrames() const;

 private:
  void dropOldest(size_t frames);
  void popFrame(float* frame);

  const LiveMixSettings settings_;
  mutable std::mutex mutex_;
  std::vector<float> ring_;  // capacityFrames stereo frames
  size_t head_ = 0;          // first queued frame
  size_t size_ = 0;          // frames queued
  bool primed_ = false;      // the cushion was reached since the queue last ran dry
  double averageQueued_ = 0;
  int correcting_ = 0;  // +1 dropping frames, -1 repeating, 0 neither
  float last_[2] = {0, 0};
};

}  // namespace lumewell::media
