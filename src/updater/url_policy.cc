#include "updater/url_policy.h"

#include <arpa/inet.h>
#include <curl/curl.h>

#include <algorithm>
#include <memory>

namespace lumewell::updater {
namespace {

using UrlHandle = std::unique_ptr<CURLU, decltype(&curl_url_cleanup)>;

// The URL as libcurl parses it; null when it does not parse.
UrlHandle parsed(const std::string& url, unsigned int flags = 0) {
  UrlHandle handle(curl_url(), &curl_url_cleanup);
  if (handle && curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), flags) != CURLUE_OK) {
    handle.reset();
  }
  return handle;
}

std::string part(const UrlHandle& url, CURLUPart which) {
  char* raw = nullptr;
  if (curl_url_get(url.get(), which, &raw, 0) != CURLUE_OK || raw == nullptr) return {};
  const std::unique_ptr<char, decltype(&curl_free)> holder(raw, &curl_free);
  return raw;
}

Error policyError(const std::string& text) { return Error{"updater.url", 1, text}; }

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

bool isLoopbackHost(std::string host) {
  host = lower(host);
  if (host == "localhost") return true;
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  in_addr v4{};
  // inet_pton takes only the dotted-quad form, so "127.1" or "2130706433" do not sneak in.
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) return IN6_IS_ADDR_LOOPBACK(&v6);
  return false;
}

}  // namespace

std::string urlScheme(const std::string& url) {
  auto handle = parsed(url, CURLU_NON_SUPPORT_SCHEME);
  return handle ? lower(part(handle, CURLUPART_SCHEME)) : std::string();
}

OptionalError checkFetchPolicy(const std::string& url) {
  auto handle = parsed(url);
  if (!handle) return policyError("The update URL is not a valid URL: " + url);
  const std::string scheme = lower(part(handle, CURLUPART_SCHEME));
  const std::string host = part(handle, CURLUPART_HOST);
  if (!part(handle, CURLUPART_USER).empty() || !part(handle, CURLUPART_PASSWORD).empty()) {
    return policyError("Update URLs must not carry credentials.");
  }
  if (host.empty()) return policyError("The update URL has no host: " + url);
  if (scheme == "https") return std::nullopt;
  if (scheme == "http") {
    if (isLoopbackHost(host)) return std::nullopt;
    return policyError("Updates must be fetched over HTTPS; refusing " + url);
  }
  return policyError("Updates must be fetched over HTTPS; the scheme \"" + scheme +
                     "\" is not allowed.");
}

Result<std::string> resolveUrl(const std::string& base, const std::string& reference) {
  auto handle = parsed(base);
  if (!handle) return policyError("The feed URL is not a valid URL: " + base);
  // Setting a URL on a handle that holds one resolves it as a relative reference.
  if (curl_url_set(handle.get(), CURLUPART_URL, reference.c_str(), 0) != CURLUE_OK) {
    return policyError("The update's download URL is not a valid URL: " + reference);
  }
  std::string resolved = part(handle, CURLUPART_URL);
  if (resolved.empty()) return policyError("The update's download URL is not a valid URL.");
  return resolved;
}

}  // namespace lumewell::updater
