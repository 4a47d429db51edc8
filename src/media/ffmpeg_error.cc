#include "media/ffmpeg_error.h"

extern "C" {
#include <libavutil/error.h>
}

namespace lumewell::media {

Error ffmpegError(int averror, const std::string& context) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(averror, text, sizeof text);
  return Error{"FFmpeg", averror, context.empty() ? std::string(text) : context + ": " + text};
}

}  // namespace lumewell::media
