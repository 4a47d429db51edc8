#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "channels/value.h"
#include "runtime/error.h"

namespace lumewell {

using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;

// Flutter's StandardMessageCodec, byte for byte: little-endian numbers, sizes below 254 in
// one byte, 254 + u16 and 255 + u32 beyond, float64 and typed-list payloads aligned relative
// to the start of the message.
class StandardMessageCodec {
 public:
  // Deeper nesting of lists and maps than this is refused by the decoder.
  static constexpr int kMaxDepth = 64;
  // A message whose decoded values would take more than this many times its own size (or
  // kMinBudgetBytes for a small one) is refused before anything is allocated.
  static constexpr size_t kBudgetFactor = 4;
  static constexpr size_t kMinBudgetBytes = 64 * 1024;
  static size_t budgetFor(size_t messageBytes);

  static Bytes encode(const Value& value);
  // Decodes a whole message; trailing bytes are an error. An empty message is null.
  static Result<Value> decode(ByteView bytes);
};

struct MethodCall {
  std::string method;
  Value arguments;
};

// Flutter's error triple (and the optional stack trace Dart may add).
struct MethodError {
  std::string code;
  std::optional<std::string> message;
  Value details;
};

// An answer of a method call as it crosses the wire: success with a value, an error, or not
// implemented (an empty reply).
struct MethodEnvelope {
  enum class Kind { success, error, notImplemented };
  Kind kind = Kind::notImplemented;
  Value result;
  MethodError error;
};

class StandardMethodCodec {
 public:
  static Bytes encodeMethodCall(const MethodCall& call);
  static Result<MethodCall> decodeMethodCall(ByteView bytes);
  // What decodeMethodCall would accept, checked without building any value: the method name.
  static Result<std::string> checkMethodCall(ByteView bytes);
  static Bytes encodeSuccessEnvelope(const Value& result);
  static Bytes encodeErrorEnvelope(const std::string& code,
                                   const std::optional<std::string>& message, const Value& details);
  // Accepts success and error envelopes (the latter with or without a stack trace); an empty
  // reply is not implemented.
  static Result<MethodEnvelope> decodeEnvelope(ByteView bytes);
};

}  // namespace lumewell
