#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace lumewell {

class Value;

using ValueList = std::vector<Value>;

// A map of the standard codec: any value as key, insertion order kept (the codec writes the
// entries in this order).
class ValueMap {
 public:
  using Entry = std::pair<Value, Value>;
  ValueMap() = default;
  ValueMap(std::initializer_list<Entry> entries);

  // Replaces the value of an equal key, or appends a new entry.
  void set(Value key, Value value);
  // The value under the string key, or null when absent (or when the key is of another type).
  const Value* find(std::string_view key) const;
  const Value* find(const char* key) const { return find(std::string_view(key)); }
  const Value* find(const std::string& key) const { return find(std::string_view(key)); }
  const Value* find(const Value& key) const;

  // Defined below Value: the entries' type is complete only there.
  size_t size() const;
  bool empty() const;
  std::vector<Entry>::const_iterator begin() const;
  std::vector<Entry>::const_iterator end() const;
  void reserve(size_t n);
  // Appends without looking for an equal key (the decoder keeps what the peer wrote).
  void append(Value key, Value value);

  bool operator==(const ValueMap& other) const;

 private:
  std::vector<Entry> entries_;
};

using ValueVariant =
    std::variant<std::monostate, bool, int32_t, int64_t, double, std::string, std::vector<uint8_t>,
                 std::vector<int32_t>, std::vector<int64_t>, std::vector<float>,
                 std::vector<double>, ValueList, ValueMap>;

// One value of Flutter's standard message codec. int32 and int64 are distinct types, as they
// are on the wire.
class Value : public ValueVariant {
 public:
  using ValueVariant::ValueVariant;
  using ValueVariant::operator=;

  Value() = default;
  Value(const char* s) : ValueVariant(std::string(s)) {}  // NOLINT(google-explicit-constructor)
  Value(std::string_view s) : ValueVariant(std::string(s)) {}  // NOLINT
  // Integers go to int32 when they fit, as Flutter's Dart side writes them.
  static Value integer(int64_t v) {
    if (v >= INT32_MIN && v <= INT32_MAX) return Value(static_cast<int32_t>(v));
    return Value(v);
  }

  bool isNull() const { return std::holds_alternative<std::monostate>(*this); }
  template <typename T>
  bool is() const {
    return std::holds_alternative<T>(*this);
  }
  template <typename T>
  const T* getIf() const {
    return std::get_if<T>(this);
  }
  template <typename T>
  const T& get() const {
    return std::get<T>(*this);
  }

  const std::string* asString() const { return getIf<std::string>(); }
  const bool* asBool() const { return getIf<bool>(); }
  const ValueMap* asMap() const { return getIf<ValueMap>(); }
  const ValueList* asList() const { return getIf<ValueList>(); }
  // int32 or int64 widened; none for other types.
  bool asInt64(int64_t* out) const;

  bool operator==(const Value& other) const {
    return static_cast<const ValueVariant&>(*this) == static_cast<const ValueVariant&>(other);
  }
};

inline size_t ValueMap::size() const { return entries_.size(); }
inline bool ValueMap::empty() const { return entries_.empty(); }
inline std::vector<ValueMap::Entry>::const_iterator ValueMap::begin() const {
  return entries_.begin();
}
inline std::vector<ValueMap::Entry>::const_iterator ValueMap::end() const {
  return entries_.end();
}
inline void ValueMap::reserve(size_t n) { entries_.reserve(n); }

// Reads a string entry of a map; none when absent or of another type.
const std::string* mapString(const ValueMap* map, std::string_view key);
// Reads a boolean entry of a map; none when absent or of another type.
const bool* mapBool(const ValueMap* map, std::string_view key);

}  // namespace lumewell
