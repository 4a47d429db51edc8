#include "channels/frame.h"

#include <glib.h>

#include <cstring>

namespace lumewell {
namespace {

void putU32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

uint32_t getU32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

Bytes encodeFrame(const Frame& frame) {
  size_t rest = 1 + 4 + frame.payload.size();
  if (frame.kind == Frame::kMessage) rest += 2 + frame.channel.size();
  Bytes out;
  out.reserve(4 + rest);
  putU32(out, static_cast<uint32_t>(rest));
  out.push_back(frame.kind);
  putU32(out, frame.id);
  if (frame.kind == Frame::kMessage) {
    uint16_t n = static_cast<uint16_t>(frame.channel.size());
    out.push_back(static_cast<uint8_t>(n));
    out.push_back(static_cast<uint8_t>(n >> 8));
    out.insert(out.end(), frame.channel.begin(), frame.channel.end());
  }
  out.insert(out.end(), frame.payload.begin(), frame.payload.end());
  return out;
}

void FrameReader::feed(const uint8_t* data, size_t size) {
  if (!error_.empty()) return;
  // Drop what was consumed before growing, so the buffer stays within one frame's bound; a
  // large frame's room is given back once it has been taken out.
  if (consumed_ > 0) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(consumed_));
    consumed_ = 0;
  }
  if (buffer_.empty() && buffer_.capacity() > kKeptCapacity) Bytes().swap(buffer_);
  buffer_.insert(buffer_.end(), data, data + size);
}

FrameReader::Status FrameReader::fail(std::string text) {
  error_ = std::move(text);
  buffer_.clear();
  consumed_ = 0;
  return Status::error;
}

FrameReader::Status FrameReader::next(Frame* out) {
  if (!error_.empty()) return Status::error;
  size_t avail = buffer_.size() - consumed_;
  if (avail < 4) return Status::needMore;
  const uint8_t* p = buffer_.data() + consumed_;
  uint32_t length = getU32(p);
  if (length > kMaxFrameLength) return fail("Frame larger than 16 MiB.");
  if (length < 5) return fail("Frame too short for its header.");
  if (avail - 4 < length) {
    // Room for exactly this frame, not a doubling beyond it.
    buffer_.reserve(consumed_ + 4 + length);
    return Status::needMore;
  }
  const uint8_t* body = p + 4;
  uint8_t kind = body[0];
  if (kind != Frame::kMessage && kind != Frame::kReply) {
    return fail("Unknown frame kind " + std::to_string(kind) + ".");
  }
  out->kind = static_cast<Frame::Kind>(kind);
  out->id = getU32(body + 1);
  size_t pos = 5;
  out->channel.clear();
  if (kind == Frame::kMessage) {
    if (length < pos + 2) return fail("Message frame without a channel name.");
    uint16_t nameLength = static_cast<uint16_t>(body[pos] | body[pos + 1] << 8);
    pos += 2;
    if (length - pos < nameLength) return fail("Channel name runs past the frame.");
    const char* name = reinterpret_cast<const char*>(body + pos);
    if (nameLength == 0 || !g_utf8_validate(name, nameLength, nullptr)) {
      return fail("Channel name is empty or not UTF-8.");
    }
    out->channel.assign(name, nameLength);
    pos += nameLength;
  }
  if (consumed_ == 0 && buffer_.size() == 4 + length && length > kKeptCapacity) {
    // The buffer holds this frame alone: it becomes the payload, without a second copy.
    const size_t header = 4 + pos;
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(header));
    out->payload = std::move(buffer_);
    buffer_ = Bytes();
    return Status::frame;
  }
  out->payload.assign(body + pos, body + length);
  consumed_ += 4 + length;
  return Status::frame;
}

}  // namespace lumewell
