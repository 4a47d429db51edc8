#include "tools/printable.h"

#include <glib.h>

#include <cstdio>

namespace lumewell::tools {
namespace {

// Calls onChar for each character, or onInvalid for each byte that is not valid UTF-8.
template <typename OnChar, typename OnInvalid>
void forEachChar(const std::string& text, OnChar onChar, OnInvalid onInvalid) {
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end) {
    gunichar c = g_utf8_get_char_validated(p, end - p);
    if (c == static_cast<gunichar>(-1) || c == static_cast<gunichar>(-2)) {
      onInvalid(static_cast<unsigned char>(*p));
      ++p;
      continue;
    }
    const char* next = g_utf8_next_char(p);
    onChar(c, std::string_view(p, static_cast<size_t>(next - p)));
    p = next;
  }
}

bool printable(gunichar c) { return c == ' ' || (g_unichar_isprint(c) && c != 0x7f); }

}  // namespace

std::string printableText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  char buf[16];
  forEachChar(
      text,
      [&](gunichar c, std::string_view bytes) {
        if (c == '\\') {
          out += "\\\\";
        } else if (printable(c)) {
          out += bytes;
        } else {
          std::snprintf(buf, sizeof buf, c < 0x100 ? "\\x%02x" : "\\u{%x}", c);
          out += buf;
        }
      },
      [&](unsigned char byte) {
        std::snprintf(buf, sizeof buf, "\\x%02x", byte);
        out += buf;
      });
  return out;
}

std::string printableJson(const std::string& json) {
  std::string out;
  out.reserve(json.size());
  char buf[16];
  auto escape = [&](unsigned code) {
    std::snprintf(buf, sizeof buf, "\\u%04x", code);
    out += buf;
  };
  forEachChar(
      json,
      [&](gunichar c, std::string_view bytes) {
        if ((c < 0x80 && c != 0x7f) || printable(c)) {
          out += bytes;  // ASCII controls are escaped by the JSON writer already
        } else if (c >= 0x10000) {
          escape(0xd800 + ((c - 0x10000) >> 10));
          escape(0xdc00 + ((c - 0x10000) & 0x3ff));
        } else {
          escape(c);
        }
      },
      [&](unsigned char) { escape(0xfffd); });
  return out;
}

}  // namespace lumewell::tools
