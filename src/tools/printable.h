#pragma once

#include <string>

namespace lumewell::tools {

// A name from the host made safe for a terminal: every character that is not printable
// (controls, escape sequences, bidirectional overrides, invalid UTF-8) is written as an
// escape (\x1b, \u{202e}); a backslash is doubled so that escapes stay unambiguous.
std::string printableText(const std::string& text);

// One JSON line made safe the same way: inside its strings every non-printable character
// becomes a \uXXXX escape (which JSON readers decode back), the rest is left as it was.
std::string printableJson(const std::string& json);

}  // namespace lumewell::tools
