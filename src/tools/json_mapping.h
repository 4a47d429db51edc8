#pragma once

#include <nlohmann/json.hpp>

#include "channels/value.h"

namespace lumewell::tools {

// JSON to codec values: integers to int32 when they fit, else int64; other numbers to
// float64; objects to maps with string keys; arrays to lists.
Value jsonToValue(const nlohmann::json& json);
// Codec values to JSON; map keys that are not strings are written as their JSON text.
nlohmann::json valueToJson(const Value& value);

}  // namespace lumewell::tools
