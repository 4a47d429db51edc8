#include "app_audio/catalogue_rules.h"

#include <glib.h>
#include <pulse/def.h>

#include <algorithm>

namespace lumewell::app_audio {
namespace {

// Canonical decomposition, so that precomposed and decomposed spellings compare equal.
std::string canonical(std::string_view s) {
  gchar* n = g_utf8_normalize(s.data(), static_cast<gssize>(s.size()), G_NORMALIZE_NFD);
  if (n == nullptr) return std::string(s);  // not UTF-8: compare the bytes as they are
  std::string out(n);
  g_free(n);
  return out;
}

template <size_t N>
bool equalsAny(const std::string& canonicalValue, const std::array<std::string_view, N>& table) {
  return std::any_of(table.begin(), table.end(),
                     [&](std::string_view e) { return canonicalValue == canonical(e); });
}

template <size_t N>
bool startsWithAny(const std::string& canonicalValue,
                   const std::array<std::string_view, N>& table) {
  return std::any_of(table.begin(), table.end(), [&](std::string_view e) {
    return std::string_view(canonicalValue).starts_with(canonical(e));
  });
}

// Locale collation key of the case-folded name.
std::string sortKey(const std::string& name) {
  gchar* valid = g_utf8_make_valid(name.c_str(), static_cast<gssize>(name.size()));
  gchar* folded = g_utf8_casefold(valid, -1);
  gchar* key = g_utf8_collate_key(folded, -1);
  std::string out(key);
  g_free(key);
  g_free(folded);
  g_free(valid);
  return out;
}

}  // namespace

Error writerInputError() { return programError(kWriterInputErrorCode, kWriterInputMessage); }
Error noContentError() { return programError(kNoContentErrorCode, kNoContentMessage); }
Error invalidSourceError() { return programError(kInvalidSourceErrorCode, kInvalidSourceMessage); }
Error sourceUnavailableError() {
  return programError(kSourceUnavailableErrorCode, kSourceUnavailableMessage);
}
Error noDisplayError() { return programError(kNoDisplayErrorCode, kNoDisplayMessage); }

std::string appAudioErrorMessage(const Error& error) {
  if (error.domain == kPulseErrorDomain && error.code == PA_ERR_ACCESS) {
    return kCaptureDeclinedMessage;
  }
  return error.localizedDescription;
}

bool isCapturableApplication(const SnapshotApplication& app, int32_t hostProcessID) {
  if (app.applicationName.empty()) return false;
  if (app.processID == hostProcessID) return false;
  const std::string name = canonical(app.applicationName);
  const std::string bundle = canonical(app.bundleIdentifier);
  if (equalsAny(name, kExcludedApplicationNames)) return false;
  if (startsWithAny(name, kExcludedApplicationNamePrefixes)) return false;
  if (bundle.empty() || equalsAny(bundle, kExcludedBundleIdentifiers)) return false;
  if (startsWithAny(bundle, kExcludedBundleIdentifierPrefixes)) return false;
  if (name.starts_with("com.")) return false;
  return true;
}

std::vector<SnapshotApplication> catalogueApplications(const ShareableContent& content,
                                                       int32_t hostProcessID) {
  struct Keyed {
    std::string key;
    const SnapshotApplication* app;
  };
  std::vector<Keyed> kept;
  for (const auto& app : content.applications) {
    if (isCapturableApplication(app, hostProcessID))
      kept.push_back({sortKey(app.applicationName), &app});
  }
  std::stable_sort(kept.begin(), kept.end(),
                   [](const Keyed& a, const Keyed& b) { return a.key < b.key; });
  std::vector<SnapshotApplication> out;
  out.reserve(kept.size());
  for (const auto& k : kept) out.push_back(*k.app);
  return out;
}

std::optional<int32_t> parseSourceId(std::string_view id) {
  bool negative = false;
  if (!id.empty() && (id.front() == '+' || id.front() == '-')) {
    negative = id.front() == '-';
    id.remove_prefix(1);
  }
  if (id.empty()) return std::nullopt;
  // Accumulate in 64 bits with an early cut, so any length of digits is safe.
  int64_t value = 0;
  for (char c : id) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > int64_t{1} << 31) return std::nullopt;
  }
  if (negative) value = -value;
  if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(value);
}

Result<CaptureTarget> selectCaptureTarget(const ShareableContent& content, int32_t processID) {
  auto app = std::find_if(content.applications.begin(), content.applications.end(),
                          [&](const SnapshotApplication& a) { return a.processID == processID; });
  if (app == content.applications.end()) return sourceUnavailableError();
  const SnapshotDisplay* chosen = nullptr;
  for (const auto& window : content.windows) {
    if (!window.owningProcessID || *window.owningProcessID != processID) continue;
    auto display =
        std::find_if(content.displays.begin(), content.displays.end(),
                     [&](const SnapshotDisplay& d) { return d.deviceIndex == window.deviceIndex; });
    if (display != content.displays.end()) {
      chosen = &*display;
      break;
    }
  }
  if (chosen == nullptr) {
    if (content.displays.empty()) return noDisplayError();
    chosen = &content.displays.front();
  }
  return CaptureTarget{*app, *chosen};
}

}  // namespace lumewell::app_audio
