#pragma once

#include <string_view>

namespace lumewell::updater {

// The appcast's standard version comparison: versions split into runs of digits, runs of
// other characters and single periods; numbers compare by value, text by its characters; a
// longer version wins when its extra part is a number or a period (1.0 < 1.0.1) and loses when
// it is text (1.0b1 < 1.0). What follows the first "-" is a pre-release suffix: it comes
// before the same version without one (1.2.0-beta < 1.2.0) and is compared the same way
// against another suffix (1.2.0-beta.2 < 1.2.0-beta.10).
// Returns <0, 0 or >0 as a is older than, the same as, or newer than b.
[[nodiscard]] int compareVersions(std::string_view a, std::string_view b);

}  // namespace lumewell::updater
