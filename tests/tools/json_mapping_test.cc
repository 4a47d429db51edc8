#include "tools/json_mapping.h"

#include <gtest/gtest.h>

namespace lumewell::tools {
namespace {

TEST(JsonMapping, NumbersPickTheNarrowestCodecTypeAndMapsKeepTheirOrder) {
  auto v = jsonToValue(nlohmann::json::parse(
      R"({"small": 5, "neg": -2147483648, "big": 2147483648, "huge": 18446744073709551615,
          "f": 1.5, "whole": 2.0, "s": "x", "list": [true, null], "z": {}, "a": 1})"));
  const ValueMap* m = v.asMap();
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(*m->find("small"), Value(int32_t{5}));
  EXPECT_EQ(*m->find("neg"), Value(int32_t{INT32_MIN}));
  EXPECT_EQ(*m->find("big"), Value(int64_t{2147483648LL}));
  EXPECT_TRUE(m->find("huge")->is<double>());  // beyond int64: a float, not a wrapped integer
  EXPECT_EQ(*m->find("f"), Value(1.5));
  EXPECT_EQ(*m->find("whole"), Value(2.0));
  EXPECT_EQ(*m->find("list"), Value(ValueList{Value(true), Value()}));

  // And back: non-string keys and non-finite numbers still give valid JSON.
  Value back(ValueMap{{Value(int32_t{1}), Value(NAN)},
                      {Value("bytes"), Value(std::vector<uint8_t>{1, 2})},
                      {Value("bad"), Value(std::string("\xff\xfe"))}});
  auto json = valueToJson(back);
  EXPECT_TRUE(json["1"].is_null());
  EXPECT_EQ(json["bytes"], nlohmann::json::array({1, 2}));
  EXPECT_NO_THROW(json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

}  // namespace
}  // namespace lumewell::tools
