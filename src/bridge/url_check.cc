#include "bridge/url_check.h"

#include <glib.h>

#include <string>

namespace lumewell::bridge {
namespace {

// RFC 3986: unreserved, reserved and '%'.
bool isUrlCharacter(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case '-':
    case '.':
    case '_':
    case '~':
    case ':':
    case '/':
    case '?':
    case '#':
    case '[':
    case ']':
    case '@':
    case '!':
    case '$':
    case '&':
    case '\'':
    case '(':
    case ')':
    case '*':
    case '+':
    case ',':
    case ';':
    case '=':
    case '%':
      return true;
    default:
      return false;
  }
}

}  // namespace

bool isAbsoluteUrl(std::string_view text) {
  if (text.empty() || text.size() > kMaxUrlLength) return false;
  for (char c : text) {
    if (!isUrlCharacter(c)) return false;
  }
  std::string copy(text);  // GLib wants a terminated string
  return g_uri_is_valid(copy.c_str(), G_URI_FLAGS_NONE, nullptr);
}

}  // namespace lumewell::bridge
