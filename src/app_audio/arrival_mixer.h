#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace lumewell::app_audio {

// Mixes the record streams of one capture into a single timeline of interleaved float frames.
// Streams are not sample-aligned with each other, so each is placed by arrival: its first
// chunk ends at the session-clock frame it arrived at, later chunks follow its own running
// count, and a stream whose count falls behind its arrivals by more than kResyncFrames (it was
// corked, or underran) is placed by arrival again. The threshold is wide so that a busy machine
// delaying deliveries does not tear a continuous stream apart. The timeline starts at the first
// frame received; gaps between chunks are silence. Not thread-safe: one
// queue owns it.
class ArrivalMixer {
 public:
  static constexpr int64_t kResyncFrames = 48000;

  explicit ArrivalMixer(int channels);

  // Adds frames * channels samples of a stream; arrivalEndFrame is the session-clock frame at
  // which the chunk's last frame arrived.
  void add(uint64_t streamId, int64_t arrivalEndFrame, const float* data, size_t frames);
  // The stream delivers no more; it no longer holds back the mix.
  void endStream(uint64_t streamId);

  // Moves to out (appending) the mixed frames that no live stream can still add to, and at
  // least everything before horizonFrame (a live stream that went quiet holds nothing back
  // older than that). Returns the number of frames moved.
  size_t takeReady(int64_t horizonFrame, std::vector<float>& out);
  // Moves everything mixed so far.
  size_t takeAll(std::vector<float>& out);

  bool started() const { return started_; }
  // Session-clock frame of the timeline's first frame (meaningful once started).
  int64_t firstFrame() const { return firstFrame_; }

 private:
  struct Stream {
    int64_t next = 0;  // session-clock frame where its next chunk goes
    bool live = true;
  };
  size_t take(int64_t upTo, std::vector<float>& out);
  int64_t end() const { return base_ + static_cast<int64_t>(mix_.size()) / channels_; }

  int channels_;
  bool started_ = false;
  int64_t firstFrame_ = 0;
  int64_t base_ = 0;        // session-clock frame of mix_[0]
  std::vector<float> mix_;  // frames from base_ on, not yet taken
  std::map<uint64_t, Stream> streams_;
};

}  // namespace lumewell::app_audio
