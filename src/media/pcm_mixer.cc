#include "media/pcm_mixer.h"

#include <algorithm>

namespace lumewell::media {

void addPcm(float* dst, size_t dstChannels, const float* src, size_t srcChannels, size_t frames) {
  if (dstChannels == srcChannels) {
    for (size_t i = 0; i < frames * dstChannels; ++i) dst[i] += src[i];
  } else if (srcChannels == 1) {
    for (size_t i = 0; i < frames; ++i) {
      for (size_t c = 0; c < dstChannels; ++c) dst[i * dstChannels + c] += src[i];
    }
  } else if (dstChannels == 1) {
    const float scale = 1.0f / static_cast<float>(srcChannels);
    for (size_t i = 0; i < frames; ++i) {
      float sum = 0;
      for (size_t c = 0; c < srcChannels; ++c) sum += src[i * srcChannels + c];
      dst[i] += sum * scale;
    }
  } else {
    for (size_t i = 0; i < frames; ++i) {
      for (size_t c = 0; c < dstChannels; ++c) {
        dst[i * dstChannels + c] += src[i * srcChannels + std::min(c, srcChannels - 1)];
      }
    }
  }
}

void copyPcm(float* dst, size_t dstChannels, const float* src, size_t srcChannels, size_t frames) {
  std::fill(dst, dst + frames * dstChannels, 0.0f);
  addPcm(dst, dstChannels, src, srcChannels, frames);
}

}  // namespace lumewell::media
