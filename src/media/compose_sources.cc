#include "media/compose_sources.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "media/compose_audio.h"

namespace lumewell::media {
namespace {

// Copies frames of src into dst at dst's channel count: a mono source goes into every channel
// at its own level, a wider source into a mono one is averaged.
void copyPcm(float* dst, size_t dstChannels, const float* src, size_t srcChannels, size_t frames) {
  std::fill(dst, dst + frames * dstChannels, 0.0f);
  const float scale = 1.0f / static_cast<float>(srcChannels);
  for (size_t i = 0; i < frames; ++i) {
    if (dstChannels == 1 && srcChannels > 1) {
      float sum = 0;
      for (size_t c = 0; c < srcChannels; ++c) sum += src[i * srcChannels + c];
      dst[i] += sum * scale;
      continue;
    }
    for (size_t c = 0; c < dstChannels; ++c) {
      dst[i * dstChannels + c] += src[i * srcChannels + std::min(c, srcChannels - 1)];
    }
  }
}

class SequenceSource final : public PcmSource {
 public:
  SequenceSource(std::vector<std::string> paths, int channels)
      : paths_(std::move(paths)), channels_(channels) {}

  int channels() const override { return channels_; }

  Result<size_t> read(float* out, size_t maxFrames) override {
    const size_t outCh = static_cast<size_t>(channels_);
    size_t produced = 0;
    while (produced < maxFrames) {
      if (!current_) {
        if (next_ >= paths_.size()) break;
        Result<std::unique_ptr<AudioDecoder>> opened = AudioDecoder::open(paths_[next_]);
        if (!opened) return opened.error();
        // Checked before the encode began; a file replaced since then fails the same way.
        if (!*opened) return compositionError(kAudioTrackMissing, paths_[next_]);
        current_ = std::move(*opened);
        ++next_;
      }
      const size_t ch = static_cast<size_t>(current_->info().channels);
      const size_t want = maxFrames - produced;
      Result<size_t> got{size_t{0}};
      if (ch == outCh) {
        got = current_->read(out + produced * outCh, want);
      } else {
        scratch_.resize(want * ch);
        got = current_->read(scratch_.data(), want);
        if (got) copyPcm(out + produced * outCh, outCh, scratch_.data(), ch, *got);
      }
      if (!got) return got.error();
      produced += *got;
      if (*got < want) current_.reset();
    }
    return produced;
  }

 private:
  std::vector<std::string> paths_;
  int channels_;
  size_t next_ = 0;
  std::unique_ptr<AudioDecoder> current_;
  std::vector<float> scratch_;
};

class PrefetchingSource final : public PcmSource {
 public:
  PrefetchingSource(std::unique_ptr<PcmSource> inner, size_t chunkFrames, size_t depth)
      : inner_(std::move(inner)),
        channels_(static_cast<size_t>(inner_->channels())),
        chunkFrames_(std::max<size_t>(chunkFrames, 1)),
        depth_(std::max<size_t>(depth, 1)),
        thread_([this] { produce(); }) {}

  ~PrefetchingSource() override {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }

  int channels() const override { return static_cast<int>(channels_); }

  Result<size_t> read(float* out, size_t maxFrames) override {
    size_t produced = 0;
    std::unique_lock lock(mutex_);
    while (produced < maxFrames) {
      changed_.wait(lock, [&] { return !queue_.empty(); });
      Chunk& chunk = queue_.front();
      if (chunk.error) return *chunk.error;
      const size_t n = std::min(maxFrames - produced, chunk.frames - chunk.offset);
      std::memcpy(out + produced * channels_, chunk.samples.data() + chunk.offset * channels_,
                  n * channels_ * sizeof(float));
      chunk.offset += n;
      produced += n;
      if (chunk.offset < chunk.frames) continue;
      // The last chunk (shorter than the others) stays queued so later reads see the end too.
      if (chunk.last) break;
      spare_ = std::move(chunk.samples);
      queue_.pop_front();
      changed_.notify_all();
    }
    return produced;
  }

 private:
  struct Chunk {
    std::vector<float> samples;
    size_t frames = 0;
    size_t offset = 0;
    bool last = false;
    OptionalError error;
  };

  void produce() {
    for (;;) {
      Chunk chunk;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return stopping_ || queue_.size() < depth_; });
        if (stopping_) return;
        chunk.samples = std::move(spare_);
      }
      chunk.samples.resize(chunkFrames_ * channels_);
      Result<size_t> got = inner_->read(chunk.samples.data(), chunkFrames_);
      if (got) {
        chunk.frames = *got;
        chunk.last = *got < chunkFrames_;
      } else {
        chunk.error = got.error();
      }
      const bool done = chunk.last || chunk.error.has_value();
      {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(chunk));
      }
      changed_.notify_all();
      if (done) return;
    }
  }

  std::unique_ptr<PcmSource> inner_;
  const size_t channels_;
  const size_t chunkFrames_;
  const size_t depth_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Chunk> queue_;
  std::vector<float> spare_;
  bool stopping_ = false;
  std::thread thread_;  // last: starts once every other field is ready
};

}  // namespace

std::unique_ptr<PcmSource> makeSequenceSource(std::vector<std::string> paths, int channels) {
  return std::make_unique<SequenceSource>(std::move(paths), channels);
}

std::unique_ptr<PcmSource> makePrefetchingSource(std::unique_ptr<PcmSource> inner,
                                                 size_t chunkFrames, size_t depth) {
  return std::make_unique<PrefetchingSource>(std::move(inner), chunkFrames, depth);
}

}  // namespace lumewell::media
