#include "media/segment_files.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "media/ffmpeg_error.h"
#include "media/local_media_path.h"

namespace lumewell::media {

namespace {

std::string beside(const std::string& finalPath, const char* suffix) {
  const auto slash = finalPath.rfind('/');
  const size_t name = slash == std::string::npos ? 0 : slash + 1;
  return finalPath.substr(0, name) + "." + finalPath.substr(name) + suffix;
}

OptionalError writeStaging(const std::string& staging, const FinalSegment& segment,
                           const std::vector<PacketPtr>& packets) {
  AVFormatContext* format = nullptr;
  int rc = avformat_alloc_output_context2(&format, nullptr, "ipod", localFileUrl(staging).c_str());
  if (rc < 0 || format == nullptr) return ffmpegError(rc, "Cannot set up " + staging);
  struct Closer {
    AVFormatContext* format;
    ~Closer() {
      if (format->pb != nullptr) avio_closep(&format->pb);
      avformat_free_context(format);
    }
  } closer{format};
  AVStream* stream = avformat_new_stream(format, nullptr);
  if (stream == nullptr) return ffmpegError(AVERROR(ENOMEM), "Cannot add the audio track");
  stream->time_base = AVRational{1, segment.sampleRate};
  rc = avcodec_parameters_copy(stream->codecpar, segment.codec);
  if (rc < 0) return ffmpegError(rc, "Cannot add the audio track");
  AVDictionary* options = nullptr;
  for (const auto& [key, value] : segment.tags) {
    av_dict_set(&format->metadata, key.c_str(), value.c_str(), 0);
  }
  if (!segment.tags.empty()) av_dict_set(&options, "movflags", "+use_metadata_tags", 0);
  if (segment.fastStart) av_dict_set(&options, "movflags", "+faststart", AV_DICT_APPEND);
  // Edit list and durations in samples, so the hidden samples and the length are exact.
  av_dict_set_int(&options, "movie_timescale", segment.sampleRate, 0);
  rc = restrictToFiles(format);
  bool created = false;
  if (auto error = checkMediaOutputPath(staging)) return error;
  if (auto error = createPrivateFile(staging, &created)) return error;
  if (rc >= 0) rc = openMediaOutput(&format->pb, staging);
  if (rc >= 0) rc = avformat_write_header(format, &options);
  av_dict_free(&options);
  if (rc < 0) return ffmpegError(rc, "Cannot write the header of " + staging);
  AVPacket* scratch = av_packet_alloc();
  if (scratch == nullptr) return ffmpegError(AVERROR(ENOMEM), "Cannot write " + staging);
  for (const PacketPtr& packet : packets) {
    rc = av_packet_ref(scratch, packet.get());
    if (rc < 0) break;
    scratch->stream_index = stream->index;
    rc = av_write_frame(format, scratch);
    av_packet_unref(scratch);
    if (rc < 0) break;
  }
  av_packet_free(&scratch);
  if (rc < 0) return ffmpegError(rc, "Cannot write " + staging);
  rc = av_write_trailer(format);
  if (rc < 0) return ffmpegError(rc, "Cannot finish " + staging);
  rc = avio_closep(&format->pb);
  if (rc < 0) return ffmpegError(rc, "Cannot close " + staging);
  return std::nullopt;
}

// Demuxes the file as stored (no edit list applied): it must hold exactly these packets.
OptionalError readBack(const std::string& path, const std::vector<PacketPtr>& packets) {
  auto input = openMediaInput(path, /*storedPackets=*/true);
  if (!input) return input.error();
  AVFormatContext* format = (*input)->get();
  if (format->nb_streams != 1) {
    return Error{"FFmpeg", AVERROR_INVALIDDATA, "The file " + path + " does not read back."};
  }
  AVPacket* read = av_packet_alloc();
  if (read == nullptr) return ffmpegError(AVERROR(ENOMEM), "Cannot read " + path);
  size_t index = 0;
  bool same = true;
  int rc = 0;
  while (same && (rc = av_read_frame(format, read)) >= 0) {
    same = index < packets.size() && read->size == packets[index]->size &&
           std::memcmp(read->data, packets[index]->data, static_cast<size_t>(read->size)) == 0;
    ++index;
    av_packet_unref(read);
  }
  av_packet_free(&read);
  if (rc < 0 && rc != AVERROR_EOF) return ffmpegError(rc, "Cannot read back " + path);
  if (!same || index != packets.size()) {
    return Error{"FFmpeg", AVERROR_INVALIDDATA,
                 "The file " + path + " does not hold the audio written to it."};
  }
  return std::nullopt;
}

}  // namespace

void PacketDeleter::operator()(AVPacket* packet) const { av_packet_free(&packet); }

PacketPtr copyPacket(const AVPacket& packet) {
  PacketPtr copy(av_packet_alloc());
  if (copy && av_packet_ref(copy.get(), &packet) < 0) copy.reset();
  return copy;
}

std::string partPathFor(const std::string& finalPath) { return beside(finalPath, ".part"); }
std::string stagingPathFor(const std::string& finalPath) { return beside(finalPath, ".tmp"); }

std::optional<int64_t> parseTagNumber(const char* text) {
  if (text == nullptr || *text < '0' || *text > '9') return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(text, &end, 10);
  if (errno != 0 || *end != '\0') return std::nullopt;
  return value;
}

std::string finalNameOfPart(const std::string& fileName) {
  constexpr std::string_view suffix = ".part";
  if (fileName.size() <= suffix.size() + 1 || fileName.front() != '.' ||
      fileName.compare(fileName.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return {};
  }
  return fileName.substr(1, fileName.size() - 1 - suffix.size());
}

OptionalError writeFinalSegment(const std::string& finalPath, const FinalSegment& segment,
                                const std::vector<PacketPtr>& packets) {
  if (segment.codec == nullptr || segment.sampleRate <= 0) {
    return Error{"FFmpeg", AVERROR(EINVAL), "No audio track for " + finalPath};
  }
  const std::string staging = stagingPathFor(finalPath);
  OptionalError error = writeStaging(staging, segment, packets);
  if (!error) error = syncFile(staging);
  if (!error) error = readBack(staging, packets);
  if (!error) error = renameNoReplace(staging, finalPath);
  if (error) {
    ::unlink(staging.c_str());
    return error;
  }
  return syncFolderOf(finalPath);
}

}  // namespace lumewell::media
