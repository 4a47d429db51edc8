#pragma once

#include <cstdint>
#include <string>

#include "channels/standard_codec.h"

namespace lumewell {

// One frame of the socket transport:
//   u32 LE length of the rest, u8 kind (1 message, 2 reply), u32 LE id,
//   message only: u16 LE channel-name length + UTF-8 name; then the payload.
struct Frame {
  enum Kind : uint8_t { kMessage = 1, kReply = 2 };
  Kind kind = kMessage;
  uint32_t id = 0;
  std::string channel;  // messages only
  Bytes payload;
};

inline constexpr uint32_t kMaxFrameLength = 16u * 1024 * 1024;

Bytes encodeFrame(const Frame& frame);

// Splits a byte stream into frames. After an error the reader stays failed: the connection
// that fed it is to be closed.
class FrameReader {
 public:
  enum class Status { needMore, frame, error };

  void feed(const uint8_t* data, size_t size);
  // Takes the next complete frame out of what was fed.
  Status next(Frame* out);
  const std::string& errorText() const { return error_; }
  // Bytes of a frame begun but not complete (a connection closing now truncated it).
  bool hasPartialFrame() const { return buffer_.size() > consumed_; }

 private:
  Status fail(std::string text);
  static constexpr size_t kKeptCapacity = 256 * 1024;
  Bytes buffer_;
  size_t consumed_ = 0;
  std::string error_;
};

}  // namespace lumewell
