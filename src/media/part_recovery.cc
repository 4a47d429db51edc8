#include "media/part_recovery.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <vector>

#include "media/ffmpeg_error.h"
#include "media/fragmented_part_file.h"
#include "media/local_media_path.h"
#include "media/segment_files.h"
#include "media/segmented_aac_writer.h"

namespace lumewell::media {

namespace {

// Far more packets than any segment holds (an hour of 48 kHz AAC): a bound, not a limit.
constexpr size_t kMaxPackets = 200000;

Error unusable(const std::string& path, const std::string& why) {
  return Error{"FFmpeg", AVERROR_INVALIDDATA, "Cannot recover " + path + ": " + why + "."};
}

}  // namespace

Result<FinalizedPart> finalizePart(const std::string& partPath) {
  const auto slash = partPath.rfind('/');
  const std::string finalName =
      finalNameOfPart(slash == std::string::npos ? partPath : partPath.substr(slash + 1));
  if (finalName.empty() || slash == std::string::npos) return unusable(partPath, "not a part file");
  const std::string finalPath = partPath.substr(0, slash + 1) + finalName;
  // One recovery at a time: two would share the staging name.
  static std::mutex oneAtATime;
  std::lock_guard lock(oneAtATime);
  if (::access(finalPath.c_str(), F_OK) == 0) {
    return Error{"posix", EEXIST, "Cannot recover " + partPath + ": " + finalPath + " exists."};
  }
  auto whole = lastWholeFragmentEnd(partPath);
  if (!whole) return whole.error();
  if (*whole == 0) return unusable(partPath, "it holds no complete fragment");
  // What a crash tore is not audio: the part is cut back to its last whole fragment.
  if (::truncate(partPath.c_str(), static_cast<off_t>(*whole)) != 0) {
    return posixError(errno, "Cannot recover " + partPath);
  }
  auto input = openMediaInput(partPath, /*storedPackets=*/true);
  if (!input) return input.error();
  AVFormatContext* format = (*input)->get();
  if (avformat_find_stream_info(format, nullptr) < 0 || format->nb_streams != 1) {
    return unusable(partPath, "no single audio track");
  }
  const AVStream* stream = format->streams[0];
  const AVCodecParameters* codec = stream->codecpar;
  if (codec->codec_type != AVMEDIA_TYPE_AUDIO || codec->codec_id != AV_CODEC_ID_AAC ||
      !supportedInputFormat(codec->sample_rate, codec->ch_layout.nb_channels)) {
    return unusable(partPath, "not an AAC track this recorder writes");
  }
  const int sampleRate = codec->sample_rate;
  const AVDictionaryEntry* leadTag =
      av_dict_get(format->metadata, kLeadSamplesTag, nullptr, AV_DICT_MATCH_CASE);
  const std::optional<int64_t> lead = leadTag ? parseTagNumber(leadTag->value) : std::nullopt;
  if (!lead || *lead > 64 * 1024) return unusable(partPath, "no lead samples noted");
  FinalSegment segment;
  segment.codec = codec;
  segment.sampleRate = sampleRate;
  for (const char* key : {kRunIdTag, kFirstSampleTag}) {
    if (const AVDictionaryEntry* entry = av_dict_get(format->metadata, key, nullptr, 0)) {
      segment.tags.emplace_back(key, entry->value);
    }
  }
  std::vector<PacketPtr> packets;
  AVPacket* read = av_packet_alloc();
  if (read == nullptr) return ffmpegError(AVERROR(ENOMEM), "Cannot recover " + partPath);
  int rc = 0;
  const AVRational samples{1, sampleRate};
  // Each packet lasts until the next one starts (the demuxer leaves some durations out);
  // the last one as long as it says, else a frame.
  int64_t lastLength = 0;
  while ((rc = av_read_frame(format, read)) >= 0) {
    const int64_t start = av_rescale_q(read->dts, stream->time_base, samples);
    const int64_t previous = packets.empty() ? -1 : packets.back()->dts + *lead;
    if (packets.size() >= kMaxPackets || read->size <= 0 || (packets.empty() && start != 0) ||
        (previous >= 0 && (start <= previous || start - previous > 8192))) {
      rc = AVERROR_INVALIDDATA;
      break;
    }
    if (!packets.empty()) packets.back()->duration = start - previous;
    lastLength = read->duration > 0 ? av_rescale_q(read->duration, stream->time_base, samples) : 0;
    PacketPtr packet = copyPacket(*read);
    av_packet_unref(read);
    if (!packet) {
      rc = AVERROR(ENOMEM);
      break;
    }
    packet->pts = packet->dts = start - *lead;
    packet->stream_index = 0;
    packets.push_back(std::move(packet));
  }
  av_packet_free(&read);
  if (rc != AVERROR_EOF) return ffmpegError(rc, "Cannot recover " + partPath);
  if (packets.empty()) return unusable(partPath, "it holds no audio");
  const int frame = codec->frame_size > 0 ? codec->frame_size : 1024;
  packets.back()->duration = lastLength > 0 && lastLength <= 8192 ? lastLength : frame;
  if (packets.back()->pts + packets.back()->duration <= 0) {
    return unusable(partPath, "it holds no audio");
  }
  if (auto error = writeFinalSegment(finalPath, segment, packets)) return *error;
  ::unlink(partPath.c_str());
  return FinalizedPart{finalPath, codec->ch_layout.nb_channels, sampleRate};
}

}  // namespace lumewell::media
