#include "channels/standard_codec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

namespace lumewell {
namespace {

Bytes hex(const std::string& h) {
  Bytes out;
  for (size_t i = 0; i + 1 < h.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoi(h.substr(i, 2), nullptr, 16)));
  return out;
}

std::string times(size_t n, const std::string& h) {
  std::string out;
  while (n-- > 0) out += h;
  return out;
}

// Byte vectors as Flutter's own codec tests publish them, and the size escapes at 254 and 65536.
TEST(StandardMessageCodec, EncodesAndDecodesFlutterVectors) {
  const std::pair<Value, std::string> cases[] = {
      {Value(), "00"},
      {Value(true), "01"},
      {Value(false), "02"},
      {Value(int32_t{0x01234567}), "0367452301"},
      {Value(int64_t{0x0123456789abcdef}), "04efcdab8967452301"},
      {Value(int64_t{1}), "040100000000000000"},  // int64 stays int64 even when small
      {Value(M_PI), "0600000000000000182d4454fb210940"},
      {Value("hello"), "070568656c6c6f"},
      {Value(std::string(253, 'a')), "07fd" + times(253, "61")},
      {Value(std::string(254, 'a')), "07fefe00" + times(254, "61")},
      {Value(std::string(65535, 'c')), "07feffff" + times(65535, "63")},
      {Value(std::string(65536, 'b')), "07ff00000100" + times(65536, "62")},
      {Value(std::vector<uint8_t>{0, 1, 2, 3, 4}), "08050001020304"},
      // Empty typed lists are padded to their alignment as well (4 and 8).
      {Value(std::vector<int32_t>{}), "09000000"},
      {Value(std::vector<int32_t>{0, -1, 2, -3, 4}),
       "0905000000000000ffffffff02000000fdffffff04000000"},
      {Value(std::vector<int64_t>{0, -1, 2, -3, 4}),
       "0a050000000000000000000000000000ffffffffffffffff0200000000000000fdffffffffffffff"
       "0400000000000000"},
      {Value(std::vector<float>{0.0f, -0.5f, 0.25f, -0.125f, 0.00625f}),
       "0e05000000000000000000bf0000803e000000becdcccc3b"},
      {Value(std::vector<double>{}), "0b00000000000000"},
      {Value(std::vector<double>{0, -0.5, 0.25, -0.125, 0.00625}),
       "0b050000000000000000000000000000000000000000e0bf000000000000d03f000000000000c0bf"
       "9a9999999999793f"},
      // A double inside a list is aligned relative to the start of the message.
      {Value(ValueList{Value(), Value(true), Value(int32_t{42}), Value(M_PI), Value("hello"),
                       Value(ValueList{}), Value(ValueMap{})}),
       "0c070001032a00000006000000000000182d4454fb210940070568656c6c6f0c000d00"},
      {Value(ValueMap{{Value(), Value("null")},
                      {Value(true), Value("bool")},
                      {Value(int32_t{42}), Value("int")},
                      {Value(M_PI), Value("float")},
                      {Value("hello"), Value("string")},
                      {Value(ValueList{}), Value("list")},
                      {Value(ValueMap{}), Value("map")}}),
       "0d070007046e756c6c010704626f6f6c032a0000000703696e74060000000000182d4454fb2109400705"
       "666c6f6174070568656c6c6f0706737472696e670c0007046c6973740d0007036d6170"},
  };
  for (const auto& [value, expected] : cases) {
    SCOPED_TRACE(expected.substr(0, 64));
    const Bytes encoded = StandardMessageCodec::encode(value);
    EXPECT_EQ(encoded, hex(expected));
    auto decoded = StandardMessageCodec::decode(encoded);
    ASSERT_TRUE(decoded.ok()) << decoded.error().localizedDescription;
    EXPECT_EQ(*decoded, value);
  }
}

TEST(StandardMethodCodec, CallsAndEnvelopes) {
  EXPECT_EQ(StandardMethodCodec::encodeMethodCall({"hello", Value()}), hex("070568656c6c6f00"));
  EXPECT_EQ(StandardMethodCodec::encodeSuccessEnvelope(Value(int32_t{1})), hex("000301000000"));
  EXPECT_EQ(StandardMethodCodec::encodeErrorEnvelope("bad_args", std::string("Missing."), Value()),
            hex("0107086261645f6172677307084d697373696e672e00"));
  auto ok = StandardMethodCodec::decodeEnvelope(hex("000700"));
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(std::pair(ok->kind, ok->result), std::pair(MethodEnvelope::Kind::success, Value("")));
  // An error envelope from Dart may carry a fourth value, the stack trace.
  auto err = StandardMethodCodec::decodeEnvelope(hex("01070178000700070473746163"));
  ASSERT_TRUE(err.ok()) << err.error().localizedDescription;
  EXPECT_EQ(std::tuple(err->kind, err->error.code, err->error.message, err->error.details),
            std::tuple(MethodEnvelope::Kind::error, std::string("x"), std::optional<std::string>(),
                       Value("")));
  EXPECT_EQ(StandardMethodCodec::decodeEnvelope({})->kind, MethodEnvelope::Kind::notImplemented);

  // Unknown kind, a trailing byte, a code that is no string; calls without a method name.
  for (const char* bad : {"02", "000000", "010300000000"})
    EXPECT_FALSE(StandardMethodCodec::decodeEnvelope(hex(bad)).ok()) << bad;
  for (const char* bad : {"0300000000", "0701"})
    EXPECT_FALSE(StandardMethodCodec::decodeMethodCall(hex(bad)).ok()) << bad;
}

TEST(StandardMessageCodec, RejectsMalformedInputWithoutOverreadOrHugeAllocation) {
  // Truncated values, unknown types, trailing bytes, and sizes claiming gigabytes with only a
  // few bytes behind them.
  std::istringstream malformed(
      "03 0367 04efcdab89674523 060000000000000000 0705 070568656c6c 0805 09050000  "
      "0905000000 0a0500000000000000 0e05000000 0c07 0c070001 0d0100 0f 05 ff 07ff 07feff  "
      "0001 0c01 0cffffffff7f00 0dffffffff7f0000 0bffffffff0000000000 08ffffffff7f01");
  for (std::string bad; malformed >> bad;)
    EXPECT_FALSE(StandardMessageCodec::decode(hex(bad)).ok()) << bad;

  // Nesting: 64 levels decode, 65 do not (and 100000 must not blow the stack).
  const auto nested = [](size_t depth) { return hex(times(depth, "0c01") + "00"); };
  EXPECT_TRUE(StandardMessageCodec::decode(nested(64)).ok());
  EXPECT_FALSE(StandardMessageCodec::decode(nested(65)).ok());
  EXPECT_FALSE(StandardMessageCodec::decode(nested(100000)).ok());

  // A tree that would take more than 4x its bytes is refused, before it is built: 128 KiB of
  // empty lists in a list (two bytes per value). Strings and typed lists cost their size.
  const Bytes lists = hex("0cfeffff" + times(0xffff, "0c00"));
  auto refused = StandardMessageCodec::decode(lists);
  ASSERT_FALSE(refused.ok());
  EXPECT_NE(refused.error().localizedDescription.find("4 times"), std::string::npos);
  Bytes call = StandardMethodCodec::encodeMethodCall({"m", Value()});
  call.pop_back();
  call.insert(call.end(), lists.begin(), lists.end());
  EXPECT_FALSE(StandardMethodCodec::decodeMethodCall(call).ok());
  EXPECT_FALSE(StandardMethodCodec::checkMethodCall(call).ok());
  const Value big(ValueList{Value(std::string(1 << 20, 'x')), Value(std::vector<double>(1 << 17))});
  EXPECT_TRUE(StandardMessageCodec::decode(StandardMessageCodec::encode(big)).ok());
  auto method =
      StandardMethodCodec::checkMethodCall(StandardMethodCodec::encodeMethodCall({"listen", big}));
  ASSERT_TRUE(method.ok());
  EXPECT_EQ(*method, "listen");
}

}  // namespace
}  // namespace lumewell
