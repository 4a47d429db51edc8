#include "media/media_probe.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <memory>

#include "media/ffmpeg_error.h"
#include "media/local_media_path.h"

namespace lumewell::media {

namespace {

bool hasAudioStream(const AVFormatContext* context) {
  return std::any_of(
      context->streams, context->streams + context->nb_streams,
      [](const AVStream* s) { return s->codecpar->codec_type == AVMEDIA_TYPE_AUDIO; });
}

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

bool hasAudioTrack(const std::string& path) {
  auto input = openMediaInput(path);
  if (!input) return false;
  if (hasAudioStream((*input)->get())) return true;
  // Headerless formats only show their streams once packets were read.
  if (avformat_find_stream_info((*input)->get(), nullptr) < 0) return false;
  return hasAudioStream((*input)->get());
}

Result<AudioStreamInfo> probeAudio(const std::string& path) {
  auto input = openMediaInput(path);
  if (!input) return input.error();
  AVFormatContext* context = (*input)->get();
  int rc = avformat_find_stream_info(context, nullptr);
  if (rc < 0) return ffmpegError(rc, "Cannot read " + path);
  rc = av_find_best_stream(context, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  if (rc < 0) return ffmpegError(rc, "No audio track in " + path);
  const AVStream* stream = context->streams[rc];
  const AVCodecParameters* par = stream->codecpar;
  AudioStreamInfo info;
  info.codec = avcodec_get_name(par->codec_id);
  if (const char* profile = avcodec_profile_name(par->codec_id, par->profile)) {
    info.profile = profile;
  }
  info.sampleRate = par->sample_rate;
  info.channels = par->ch_layout.nb_channels;
  if (stream->duration != AV_NOPTS_VALUE && par->sample_rate > 0) {
    info.durationSamples =
        av_rescale_q(stream->duration, stream->time_base, AVRational{1, par->sample_rate});
  } else if (context->duration != AV_NOPTS_VALUE && par->sample_rate > 0) {
    info.durationSamples = av_rescale(context->duration, par->sample_rate, AV_TIME_BASE);
  }
  return info;
}

}  // namespace lumewell::media
