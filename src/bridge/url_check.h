#pragma once

#include <cstddef>
#include <string_view>

namespace lumewell::bridge {

// Longest URL accepted from a launch or from the Dart side.
inline constexpr size_t kMaxUrlLength = 64 * 1024;

// Whether text is an absolute URL: a scheme, only the characters a URL may hold (so no
// space, control character or line break can reach a log line or a handler), valid
// %-escapes, at most kMaxUrlLength bytes.
[[nodiscard]] bool isAbsoluteUrl(std::string_view text);

}  // namespace lumewell::bridge
