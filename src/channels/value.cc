#include "channels/value.h"

namespace lumewell {

ValueMap::ValueMap(std::initializer_list<Entry> entries) {
  for (const auto& e : entries) set(e.first, e.second);
}

void ValueMap::set(Value key, Value value) {
  for (auto& e : entries_) {
    if (e.first == key) {
      e.second = std::move(value);
      return;
    }
  }
  entries_.emplace_back(std::move(key), std::move(value));
}

void ValueMap::append(Value key, Value value) {
  entries_.emplace_back(std::move(key), std::move(value));
}

const Value* ValueMap::find(std::string_view key) const {
  for (const auto& e : entries_) {
    const std::string* s = e.first.asString();
    if (s != nullptr && *s == key) return &e.second;
  }
  return nullptr;
}

const Value* ValueMap::find(const Value& key) const {
  for (const auto& e : entries_) {
    if (e.first == key) return &e.second;
  }
  return nullptr;
}

bool ValueMap::operator==(const ValueMap& other) const { return entries_ == other.entries_; }

bool Value::asInt64(int64_t* out) const {
  if (const auto* i = getIf<int32_t>()) *out = *i;
  if (const auto* l = getIf<int64_t>()) *out = *l;
  return is<int32_t>() || is<int64_t>();
}

const std::string* mapString(const ValueMap* map, std::string_view key) {
  const Value* v = map != nullptr ? map->find(key) : nullptr;
  return v != nullptr ? v->asString() : nullptr;
}

const bool* mapBool(const ValueMap* map, std::string_view key) {
  const Value* v = map != nullptr ? map->find(key) : nullptr;
  return v != nullptr ? v->asBool() : nullptr;
}

}  // namespace lumewell
