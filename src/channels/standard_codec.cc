#include "channels/standard_codec.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

namespace lumewell {
namespace {

enum Tag : uint8_t {
  kNull = 0,
  kTrue = 1,
  kFalse = 2,
  kInt32 = 3,
  kInt64 = 4,
  kLargeInt = 5,
  kFloat64 = 6,
  kString = 7,
  kUint8List = 8,
  kInt32List = 9,
  kInt64List = 10,
  kFloat64List = 11,
  kList = 12,
  kMap = 13,
  kFloat32List = 14,
};

Error codecError(const std::string& what) { return Error{"codec", 1, what}; }

// ---- writing ----

template <typename T>
void putLE(Bytes& out, T v) {
  static_assert(std::is_trivially_copyable_v<T>);
  uint8_t raw[sizeof(T)];
  std::memcpy(raw, &v, sizeof(T));  // the hosts we build for are little-endian
  out.insert(out.end(), raw, raw + sizeof(T));
}

void putSize(Bytes& out, size_t n) {
  if (n < 254) {
    out.push_back(static_cast<uint8_t>(n));
  } else if (n <= 0xffff) {
    out.push_back(254);
    putLE<uint16_t>(out, static_cast<uint16_t>(n));
  } else {
    out.push_back(255);
    putLE<uint32_t>(out, static_cast<uint32_t>(n));
  }
}

void align(Bytes& out, size_t alignment) {
  size_t mod = out.size() % alignment;
  if (mod != 0) out.insert(out.end(), alignment - mod, 0);
}

template <typename T>
void putTyped(Bytes& out, uint8_t tag, const std::vector<T>& v) {
  out.push_back(tag);
  putSize(out, v.size());
  align(out, sizeof(T));
  const auto* p = reinterpret_cast<const uint8_t*>(v.data());
  out.insert(out.end(), p, p + v.size() * sizeof(T));
}

void write(Bytes& out, const Value& value) {
  std::visit(
      [&out](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          out.push_back(kNull);
        } else if constexpr (std::is_same_v<T, bool>) {
          out.push_back(v ? kTrue : kFalse);
        } else if constexpr (std::is_same_v<T, int32_t>) {
          out.push_back(kInt32);
          putLE(out, v);
        } else if constexpr (std::is_same_v<T, int64_t>) {
          out.push_back(kInt64);
          putLE(out, v);
        } else if constexpr (std::is_same_v<T, double>) {
          out.push_back(kFloat64);
          align(out, 8);
          putLE(out, v);
        } else if constexpr (std::is_same_v<T, std::string> ||
                             std::is_same_v<T, std::vector<uint8_t>>) {
          out.push_back(std::is_same_v<T, std::string> ? kString : kUint8List);
          putSize(out, v.size());
          out.insert(out.end(), v.begin(), v.end());
        } else if constexpr (std::is_same_v<T, std::vector<int32_t>>) {
          putTyped(out, kInt32List, v);
        } else if constexpr (std::is_same_v<T, std::vector<int64_t>>) {
          putTyped(out, kInt64List, v);
        } else if constexpr (std::is_same_v<T, std::vector<float>>) {
          putTyped(out, kFloat32List, v);
        } else if constexpr (std::is_same_v<T, std::vector<double>>) {
          putTyped(out, kFloat64List, v);
        } else if constexpr (std::is_same_v<T, ValueList>) {
          out.push_back(kList);
          putSize(out, v.size());
          for (const auto& item : v) write(out, item);
        } else if constexpr (std::is_same_v<T, ValueMap>) {
          out.push_back(kMap);
          putSize(out, v.size());
          for (const auto& [key, item] : v) {
            write(out, key);
            write(out, item);
          }
        }
      },
      static_cast<const ValueVariant&>(value));
}

// ---- reading: every length is checked against what is left before anything is read or
// allocated, so hostile input can neither over-read nor make us allocate more than its size.

class Reader {
 public:
  explicit Reader(ByteView bytes) : bytes_(bytes) {}

  size_t remaining() const { return bytes_.size() - pos_; }
  bool atEnd() const { return pos_ == bytes_.size(); }

  bool byte(uint8_t* out) {
    if (remaining() < 1) return false;
    *out = bytes_[pos_++];
    return true;
  }
  template <typename T>
  bool le(T* out) {
    if (remaining() < sizeof(T)) return false;
    std::memcpy(out, bytes_.data() + pos_, sizeof(T));
    pos_ += sizeof(T);
    return true;
  }
  bool size(size_t* out) {
    uint8_t b;
    if (!byte(&b)) return false;
    if (b < 254) {
      *out = b;
    } else if (b == 254) {
      uint16_t v;
      if (!le(&v)) return false;
      *out = v;
    } else {
      uint32_t v;
      if (!le(&v)) return false;
      *out = v;
    }
    return true;
  }
  bool align(size_t alignment) {
    return take((alignment - pos_ % alignment) % alignment) != nullptr;
  }
  const uint8_t* take(size_t n) {
    if (remaining() < n) return nullptr;
    const uint8_t* p = bytes_.data() + pos_;
    pos_ += n;
    return p;
  }

 private:
  ByteView bytes_;
  size_t pos_ = 0;
};

const char* kOutOfData = "Unexpected end of message data.";

// A number of its own width, little-endian; a float64 is first aligned to 8.
template <typename T>
std::optional<Error> readNumber(Reader& r, Value& out) {
  T v;
  if ((std::is_floating_point_v<T> && !r.align(8)) || !r.le(&v)) {
    return codecError(kOutOfData);
  }
  out = Value(v);
  return std::nullopt;
}

template <typename T>
std::optional<Error> readTyped(Reader& r, Value& out) {
  size_t n;
  if (!r.size(&n) || !r.align(sizeof(T))) return codecError(kOutOfData);
  if (n > r.remaining() / sizeof(T)) return codecError(kOutOfData);
  const uint8_t* p = r.take(n * sizeof(T));
  std::vector<T> v(n);
  if (n > 0) std::memcpy(v.data(), p, n * sizeof(T));
  out = Value(std::move(v));
  return std::nullopt;
}

std::optional<Error> read(Reader& r, Value& out, int depth) {
  uint8_t tag;
  if (!r.byte(&tag)) return codecError(kOutOfData);
  switch (tag) {
    case kNull:
    case kTrue:
    case kFalse:
      out = tag == kNull ? Value() : Value(tag == kTrue);
      return std::nullopt;
    case kInt32:
      return readNumber<int32_t>(r, out);
    case kInt64:
      return readNumber<int64_t>(r, out);
    case kFloat64:
      return readNumber<double>(r, out);
    case kString:
    case kUint8List: {
      size_t n;
      if (!r.size(&n)) return codecError(kOutOfData);
      const uint8_t* p = r.take(n);
      if (p == nullptr) return codecError(kOutOfData);
      if (tag == kString) {
        out = Value(std::string(reinterpret_cast<const char*>(p), n));
      } else {
        out = Value(std::vector<uint8_t>(p, p + n));
      }
      return std::nullopt;
    }
    case kInt32List:
      return readTyped<int32_t>(r, out);
    case kInt64List:
      return readTyped<int64_t>(r, out);
    case kFloat32List:
      return readTyped<float>(r, out);
    case kFloat64List:
      return readTyped<double>(r, out);
    case kList:
    case kMap: {
      if (depth >= StandardMessageCodec::kMaxDepth) {
        return codecError("Message nesting is deeper than 64 levels.");
      }
      size_t n;
      if (!r.size(&n)) return codecError(kOutOfData);
      // Every element takes at least one byte; a count beyond what is left is a lie.
      size_t perItem = tag == kList ? 1 : 2;
      if (n > r.remaining() / perItem) return codecError(kOutOfData);
      if (tag == kList) {
        ValueList list;
        list.reserve(n);
        for (size_t i = 0; i < n; ++i) {
          if (auto err = read(r, list.emplace_back(), depth + 1)) return err;
        }
        out = Value(std::move(list));
      } else {
        ValueMap map;
        map.reserve(n);
        for (size_t i = 0; i < n; ++i) {
          Value key, item;
          if (auto err = read(r, key, depth + 1)) return err;
          if (auto err = read(r, item, depth + 1)) return err;
          map.append(std::move(key), std::move(item));
        }
        out = Value(std::move(map));
      }
      return std::nullopt;
    }
    case kLargeInt:
      return codecError("Large integers are not supported.");
    default:
      return codecError("Unknown value type " + std::to_string(tag) + ".");
  }
}

// Walks one value as read() would, allocating nothing, and adds what read() would allocate
// for it to *cost.
std::optional<Error> measure(Reader& r, size_t* cost, int depth) {
  uint8_t tag;
  if (!r.byte(&tag)) return codecError(kOutOfData);
  *cost += sizeof(Value);
  size_t n = 0;
  size_t width = 0;
  switch (tag) {
    case kNull:
    case kTrue:
    case kFalse:
      return std::nullopt;
    case kInt32:
      return r.take(4) ? std::nullopt : std::optional(codecError(kOutOfData));
    case kInt64:
      return r.take(8) ? std::nullopt : std::optional(codecError(kOutOfData));
    case kFloat64:
      return r.align(8) && r.take(8) ? std::nullopt : std::optional(codecError(kOutOfData));
    case kString:
    case kUint8List:
      width = 1;
      break;
    case kInt32List:
    case kFloat32List:
      width = 4;
      break;
    case kInt64List:
    case kFloat64List:
      width = 8;
      break;
    case kList:
    case kMap: {
      if (depth >= StandardMessageCodec::kMaxDepth) {
        return codecError("Message nesting is deeper than 64 levels.");
      }
      if (!r.size(&n)) return codecError(kOutOfData);
      const size_t items = tag == kList ? n : 2 * n;
      if (items > r.remaining()) return codecError(kOutOfData);
      for (size_t i = 0; i < items; ++i) {
        if (auto err = measure(r, cost, depth + 1)) return err;
      }
      return std::nullopt;
    }
    case kLargeInt:
      return codecError("Large integers are not supported.");
    default:
      return codecError("Unknown value type " + std::to_string(tag) + ".");
  }
  if (!r.size(&n) || (width > 1 && !r.align(width))) return codecError(kOutOfData);
  if (n > r.remaining() / width || !r.take(n * width)) return codecError(kOutOfData);
  *cost += n * width;
  return std::nullopt;
}

// Refuses a message whose values, once decoded, would take more memory than its budget,
// before anything is allocated. skip: bytes before the first value (an envelope's flag).
std::optional<Error> checkBudget(ByteView bytes, size_t skip) {
  if (bytes.size() < skip) return codecError(kOutOfData);
  Reader r(bytes);
  r.take(skip);
  size_t cost = 0;
  while (!r.atEnd()) {
    if (auto err = measure(r, &cost, 0)) return err;
  }
  if (cost > StandardMessageCodec::budgetFor(bytes.size())) {
    return codecError("Message decodes to more than " +
                      std::to_string(StandardMessageCodec::kBudgetFactor) +
                      " times its size in memory.");
  }
  return std::nullopt;
}

}  // namespace

size_t StandardMessageCodec::budgetFor(size_t messageBytes) {
  return std::max(kMinBudgetBytes, kBudgetFactor * messageBytes);
}

Bytes StandardMessageCodec::encode(const Value& value) {
  Bytes out;
  write(out, value);
  return out;
}

Result<Value> StandardMessageCodec::decode(ByteView bytes) {
  if (bytes.empty()) return Value();
  if (auto err = checkBudget(bytes, 0)) return *err;
  Reader r(bytes);
  Value v;
  if (auto err = read(r, v, 0)) return *err;
  if (!r.atEnd()) return codecError("Unexpected extra data after the message.");
  return v;
}

Bytes StandardMethodCodec::encodeMethodCall(const MethodCall& call) {
  Bytes out;
  write(out, Value(call.method));
  write(out, call.arguments);
  return out;
}

Result<MethodCall> StandardMethodCodec::decodeMethodCall(ByteView bytes) {
  if (auto err = checkBudget(bytes, 0)) return *err;
  Reader r(bytes);
  Value method, args;
  if (auto err = read(r, method, 0)) return *err;
  if (!method.is<std::string>()) return codecError("Method name is not a string.");
  if (auto err = read(r, args, 0)) return *err;
  if (!r.atEnd()) return codecError("Unexpected extra data after the method call.");
  return MethodCall{method.get<std::string>(), std::move(args)};
}

Result<std::string> StandardMethodCodec::checkMethodCall(ByteView bytes) {
  if (auto err = checkBudget(bytes, 0)) return *err;
  Reader r(bytes);
  uint8_t tag;
  size_t n;
  if (!r.byte(&tag) || tag != kString) return codecError("Method name is not a string.");
  if (!r.size(&n) || n > r.remaining()) return codecError(kOutOfData);
  std::string method(reinterpret_cast<const char*>(r.take(n)), n);
  Reader rest = r;
  size_t cost = 0;
  if (auto err = measure(rest, &cost, 0)) return *err;
  if (!rest.atEnd()) return codecError("Unexpected extra data after the method call.");
  return method;
}

Bytes StandardMethodCodec::encodeSuccessEnvelope(const Value& result) {
  Bytes out{0};
  write(out, result);
  return out;
}

Bytes StandardMethodCodec::encodeErrorEnvelope(const std::string& code,
                                               const std::optional<std::string>& message,
                                               const Value& details) {
  Bytes out{1};
  write(out, Value(code));
  write(out, message ? Value(*message) : Value());
  write(out, details);
  return out;
}

Result<MethodEnvelope> StandardMethodCodec::decodeEnvelope(ByteView bytes) {
  MethodEnvelope env;
  if (bytes.empty()) return env;  // not implemented
  if (auto err = checkBudget(bytes, 1)) return *err;
  Reader r(bytes);
  uint8_t flag;
  r.byte(&flag);
  if (flag == 0) {
    env.kind = MethodEnvelope::Kind::success;
    if (auto err = read(r, env.result, 0)) return *err;
  } else if (flag == 1) {
    env.kind = MethodEnvelope::Kind::error;
    Value code, message, details;
    if (auto err = read(r, code, 0)) return *err;
    if (auto err = read(r, message, 0)) return *err;
    if (auto err = read(r, details, 0)) return *err;
    if (!code.is<std::string>() || !(message.isNull() || message.is<std::string>())) {
      return codecError("Invalid error envelope.");
    }
    if (!r.atEnd()) {  // Dart may add a stack trace: a string or null
      Value stack;
      if (auto err = read(r, stack, 0)) return *err;
      if (!(stack.isNull() || stack.is<std::string>()))
        return codecError("Invalid error envelope.");
    }
    env.error.code = code.get<std::string>();
    if (message.is<std::string>()) env.error.message = message.get<std::string>();
    env.error.details = std::move(details);
  } else {
    return codecError("Invalid envelope.");
  }
  if (!r.atEnd()) return codecError("Unexpected extra data after the envelope.");
  return env;
}

}  // namespace lumewell
