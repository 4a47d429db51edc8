#include "updater/version_compare.h"

#include <cctype>
#include <string>
#include <vector>

namespace lumewell::updater {
namespace {

enum class PartType { number, period, text };

PartType typeOf(char c) {
  if (std::isdigit(static_cast<unsigned char>(c))) return PartType::number;
  if (c == '.') return PartType::period;
  return PartType::text;
}

struct Part {
  PartType type;
  std::string_view text;
};

std::vector<Part> split(std::string_view v) {
  std::vector<Part> parts;
  size_t start = 0;
  while (start < v.size()) {
    const PartType type = typeOf(v[start]);
    size_t end = start + 1;
    if (type != PartType::period) {
      while (end < v.size() && typeOf(v[end]) == type) ++end;
    }
    parts.push_back({type, v.substr(start, end - start)});
    start = end;
  }
  return parts;
}

// Numbers of any length compare by value without overflowing.
int compareNumbers(std::string_view a, std::string_view b) {
  while (a.size() > 1 && a.front() == '0') a.remove_prefix(1);
  while (b.size() > 1 && b.front() == '0') b.remove_prefix(1);
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  return (a > b) - (a < b);
}

// The standard comparison of two versions without a pre-release suffix.
int compareBase(std::string_view a, std::string_view b) {
  const auto pa = split(a);
  const auto pb = split(b);
  const size_t common = std::min(pa.size(), pb.size());
  for (size_t i = 0; i < common; ++i) {
    const Part& x = pa[i];
    const Part& y = pb[i];
    if (x.type == y.type) {
      const int c = x.type == PartType::number ? compareNumbers(x.text, y.text)
                    : x.type == PartType::text ? x.text.compare(y.text)
                                               : 0;
      if (c != 0) return c < 0 ? -1 : 1;
      continue;
    }
    // Text is a pre-release marker and loses to anything else; a number beats a period.
    if (x.type == PartType::text) return -1;
    if (y.type == PartType::text) return 1;
    return x.type == PartType::number ? 1 : -1;
  }
  if (pa.size() == pb.size()) return 0;
  const bool aLonger = pa.size() > pb.size();
  const Part& extra = aLonger ? pa[common] : pb[common];
  const int longerWins = aLonger ? 1 : -1;
  return extra.type == PartType::text ? -longerWins : longerWins;
}

}  // namespace

int compareVersions(std::string_view a, std::string_view b) {
  const size_t dashA = a.find('-');
  const size_t dashB = b.find('-');
  if (int c = compareBase(a.substr(0, dashA), b.substr(0, dashB)); c != 0) return c;
  // The same release: a pre-release comes before it ("1.2.0-beta" < "1.2.0"), and two
  // pre-releases compare by their suffixes ("-beta.2" < "-beta.10").
  const bool preA = dashA != std::string_view::npos;
  const bool preB = dashB != std::string_view::npos;
  if (preA != preB) return preA ? -1 : 1;
  if (!preA) return 0;
  return compareBase(a.substr(dashA + 1), b.substr(dashB + 1));
}

}  // namespace lumewell::updater
