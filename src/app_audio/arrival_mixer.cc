#include "app_audio/arrival_mixer.h"

#include <algorithm>

namespace lumewell::app_audio {

ArrivalMixer::ArrivalMixer(int channels) : channels_(channels) {}

void ArrivalMixer::add(uint64_t streamId, int64_t arrivalEndFrame, const float* data,
                       size_t frames) {
  if (frames == 0) return;
  const auto n = static_cast<int64_t>(frames);
  const int64_t arrivalStart = arrivalEndFrame - n;
  auto [it, fresh] = streams_.try_emplace(streamId);
  Stream& s = it->second;
  if (fresh || !s.live || arrivalStart - s.next > kResyncFrames) s.next = arrivalStart;
  s.live = true;
  int64_t pos = s.next;
  s.next += n;
  if (!started_) {
    started_ = true;
    firstFrame_ = base_ = pos;
  }
  // Frames that fall before what was already handed out are late: drop them.
  int64_t skip = std::max<int64_t>(0, base_ - pos);
  if (skip >= n) return;
  pos += skip;
  const size_t need = static_cast<size_t>((pos + n - skip - base_) * channels_);
  if (mix_.size() < need) mix_.resize(need, 0.0f);
  float* dst = mix_.data() + (pos - base_) * channels_;
  const float* src = data + skip * channels_;
  const size_t samples = static_cast<size_t>((n - skip) * channels_);
  for (size_t i = 0; i < samples; ++i) dst[i] += src[i];
}

void ArrivalMixer::endStream(uint64_t streamId) {
  auto it = streams_.find(streamId);
  if (it != streams_.end()) it->second.live = false;
}

size_t ArrivalMixer::takeReady(int64_t horizonFrame, std::vector<float>& out) {
  if (!started_) return 0;
  int64_t upTo = end();
  for (const auto& [id, s] : streams_) {
    if (s.live) upTo = std::min(upTo, s.next);
  }
  upTo = std::max(upTo, std::min(horizonFrame, end()));
  return take(upTo, out);
}

size_t ArrivalMixer::takeAll(std::vector<float>& out) { return take(end(), out); }

size_t ArrivalMixer::take(int64_t upTo, std::vector<float>& out) {
  if (upTo <= base_) return 0;
  const auto frames = static_cast<size_t>(upTo - base_);
  const size_t samples = frames * channels_;
  out.insert(out.end(), mix_.begin(), mix_.begin() + static_cast<std::ptrdiff_t>(samples));
  mix_.erase(mix_.begin(), mix_.begin() + static_cast<std::ptrdiff_t>(samples));
  base_ = upTo;
  return frames;
}

}  // namespace lumewell::app_audio
