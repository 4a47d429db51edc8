#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/error.h"
#include "updater/updater_engine.h"

namespace lumewell::updater {

inline constexpr const char* kSparkleNamespace =
    "http://www.andymatuschak.org/xml-namespaces/sparkle";

// Parses an RSS appcast (the Sparkle namespace under any prefix) and keeps the items this
// host can install: a version, a full-archive enclosure whose URL resolves against the feed,
// no other OS than Linux, no named release channel, not an informational-only release.
// A document that is not an appcast is an error; an appcast with no such item is not.
Result<std::vector<AppcastItem>> parseAppcast(std::string_view xml, const std::string& feedUrl);

// The newest item strictly newer than the running version, by the standard comparison.
std::optional<AppcastItem> bestUpdate(const std::vector<AppcastItem>& items,
                                      std::string_view runningVersion);

}  // namespace lumewell::updater
