// Splits arbitrary bytes into frames the way a connection receives them, in uneven chunks.
#include <cstdlib>

#include "channels/frame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  lumewell::FrameReader reader;
  size_t pos = 0;
  size_t chunk = size > 0 ? (data[0] % 13) + 1 : 1;
  while (pos < size) {
    size_t n = std::min(chunk, size - pos);
    reader.feed(data + pos, n);
    pos += n;
    lumewell::Frame frame;
    for (;;) {
      auto status = reader.next(&frame);
      if (status != lumewell::FrameReader::Status::frame) break;
      if (frame.payload.size() > lumewell::kMaxFrameLength) std::abort();
      auto bytes = lumewell::encodeFrame(frame);
      lumewell::FrameReader again;
      again.feed(bytes.data(), bytes.size());
      lumewell::Frame copy;
      if (again.next(&copy) != lumewell::FrameReader::Status::frame || copy.payload != frame.payload ||
          copy.channel != frame.channel || copy.id != frame.id) {
        std::abort();
      }
    }
  }
  return 0;
}
