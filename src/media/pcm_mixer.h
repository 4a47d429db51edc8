#pragma once

#include <cstddef>

namespace lumewell::media {

// Adds frames of src (srcChannels, interleaved) onto dst (dstChannels, interleaved). A mono
// source goes into every channel at its own level; a wider source into a mono sink averages.
void addPcm(float* dst, size_t dstChannels, const float* src, size_t srcChannels, size_t frames);

// Copies frames of src into dst with the same channel mapping as addPcm.
void copyPcm(float* dst, size_t dstChannels, const float* src, size_t srcChannels, size_t frames);

}  // namespace lumewell::media
