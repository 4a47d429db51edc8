#include "tools/json_mapping.h"

#include <cmath>

namespace lumewell::tools {

Value jsonToValue(const nlohmann::json& json) {
  switch (json.type()) {
    case nlohmann::json::value_t::null:
      return Value();
    case nlohmann::json::value_t::boolean:
      return Value(json.get<bool>());
    case nlohmann::json::value_t::number_integer:
      return Value::integer(json.get<int64_t>());
    case nlohmann::json::value_t::number_unsigned: {
      uint64_t u = json.get<uint64_t>();
      if (u <= static_cast<uint64_t>(INT64_MAX)) return Value::integer(static_cast<int64_t>(u));
      return Value(static_cast<double>(u));
    }
    case nlohmann::json::value_t::number_float:
      return Value(json.get<double>());
    case nlohmann::json::value_t::string:
      return Value(json.get<std::string>());
    case nlohmann::json::value_t::array: {
      ValueList list;
      for (const auto& item : json) list.push_back(jsonToValue(item));
      return Value(std::move(list));
    }
    case nlohmann::json::value_t::object: {
      ValueMap map;
      for (const auto& [key, item] : json.items()) map.append(Value(key), jsonToValue(item));
      return Value(std::move(map));
    }
    default:
      return Value();
  }
}

nlohmann::json valueToJson(const Value& value) {
  return std::visit(
      [](const auto& v) -> nlohmann::json {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          return nullptr;
        } else if constexpr (std::is_same_v<T, double>) {
          if (!std::isfinite(v)) return nullptr;  // JSON has no NaN or infinity
          return v;
        } else if constexpr (std::is_same_v<T, std::string>) {
          // Invalid UTF-8 from the wire must not abort the dump: replace it.
          return v;
        } else if constexpr (std::is_same_v<T, ValueList>) {
          nlohmann::json out = nlohmann::json::array();
          for (const auto& item : v) out.push_back(valueToJson(item));
          return out;
        } else if constexpr (std::is_same_v<T, ValueMap>) {
          nlohmann::json out = nlohmann::json::object();
          for (const auto& [key, item] : v) {
            std::string name = key.asString() != nullptr
                                   ? *key.asString()
                                   : valueToJson(key).dump(-1, ' ', false,
                                                           nlohmann::json::error_handler_t::replace);
            out[name] = valueToJson(item);
          }
          return out;
        } else {
          return v;  // bool, integers, typed lists
        }
      },
      static_cast<const ValueVariant&>(value));
}

}  // namespace lumewell::tools
