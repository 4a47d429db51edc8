#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "media/aac_file_writer.h"
#include "runtime/error.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace lumewell::media {

// The AAC-LC encoder every file writer feeds: interleaved float PCM in (clamped to [-1, 1],
// NaN as silence), packets out, timestamped in samples from the first one fed (the priming
// packet before it). Perceptual noise substitution is off: its decoder draws the noise from a
// generator that runs through the whole stream, so a file cut from the stream and decoded
// alone would not give the stream's samples. Not thread-safe.
class AacEncoder {
 public:
  // Gets each packet; it may take the packet's reference (av_packet_move_ref).
  using PacketSink = std::function<OptionalError(AVPacket* packet)>;

  static Result<std::unique_ptr<AacEncoder>> open(const AacWriterSettings& settings);
  ~AacEncoder();
  AacEncoder(const AacEncoder&) = delete;
  AacEncoder& operator=(const AacEncoder&) = delete;

  // Encodes as whole encoder frames fill.
  [[nodiscard]] OptionalError write(const float* interleaved, size_t frames,
                                    const PacketSink& sink);
  // Encodes what is left and drains the encoder; nothing is accepted afterwards.
  [[nodiscard]] OptionalError flush(const PacketSink& sink);

  const AVCodecContext* context() const { return encoder_; }
  // Samples fed so far.
  int64_t framesWritten() const { return framesWritten_; }

 private:
  explicit AacEncoder(const AacWriterSettings& settings) : settings_(settings) {}
  [[nodiscard]] OptionalError sendFrame(const PacketSink& sink);
  [[nodiscard]] OptionalError drain(const PacketSink& sink);

  AacWriterSettings settings_;
  AVCodecContext* encoder_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
  int frameSize_ = 1024;
  int fill_ = 0;
  int64_t nextPts_ = 0;
  int64_t framesWritten_ = 0;
  bool flushed_ = false;
};

}  // namespace lumewell::media
