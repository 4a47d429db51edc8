#pragma once

#include <string>

#include "runtime/error.h"

namespace lumewell::media {

// An FFmpeg failure: domain "FFmpeg", the AVERROR code, av_strerror's text after the context.
Error ffmpegError(int averror, const std::string& context);

}  // namespace lumewell::media
