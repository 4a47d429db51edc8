#include "media/media_probe.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include "media/local_media_path.h"

namespace lumewell::media {

namespace {

// Halves away from zero, in integers so no rounding of a double can move a half.
int64_t microsToMillis(int64_t micros) {
  return micros >= 0 ? (micros + 500) / 1000 : -((-micros + 500) / 1000);
}

}  // namespace

std::optional<int64_t> mediaDurationMs(const std::string& path) {
  auto input = openMediaInput(path);
  if (!input) return std::nullopt;
  AVFormatContext* context = (*input)->get();
  // MP4 carries its duration in the header; formats without one need the packets read.
  if (context->duration == AV_NOPTS_VALUE || context->nb_streams == 0) {
    if (avformat_find_stream_info(context, nullptr) < 0) return std::nullopt;
  }
  if (context->duration == AV_NOPTS_VALUE) return std::nullopt;
  return microsToMillis(context->duration);
}

}  // namespace lumewell::media
