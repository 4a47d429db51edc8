#pragma once

#include <string>

#include "runtime/error.h"

namespace lumewell::updater {

// The URL's scheme in lower case ("HTTPS://x" -> "https"); empty when it does not parse as an
// absolute URL (any scheme parses: what may be fetched is decided by checkFetchPolicy).
std::string urlScheme(const std::string& url);

// Where the updater may fetch from: HTTPS anywhere; plain HTTP only to a loopback host
// (127.0.0.0/8, ::1, localhost), where nothing crosses the network. Anything else, including
// other schemes and URLs with credentials, is refused with a sentence saying why.
[[nodiscard]] OptionalError checkFetchPolicy(const std::string& url);

// Resolves a (possibly relative) reference against a base URL, as a browser does.
Result<std::string> resolveUrl(const std::string& base, const std::string& reference);

}  // namespace lumewell::updater
