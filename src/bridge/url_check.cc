#include "bridge/url_check.h"

#include <glib.h>

#include <algorithm>
#include <string>

namespace lumewell::bridge {
namespace {

// RFC 3986: unreserved, reserved and '%'.
bool isUrlCharacter(char c) {
  return g_ascii_isalnum(c) ||
         std::string_view("-._~:/?#[]@!$&'()*+,;=%").find(c) != std::string_view::npos;
}

}  // namespace

bool isAbsoluteUrl(std::string_view text) {
  if (text.empty() || text.size() > kMaxUrlLength) return false;
  if (!std::all_of(text.begin(), text.end(), isUrlCharacter)) return false;
  std::string copy(text);  // GLib wants a terminated string
  return g_uri_is_valid(copy.c_str(), G_URI_FLAGS_NONE, nullptr);
}

}  // namespace lumewell::bridge
