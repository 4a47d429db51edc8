#include "updater/url_policy.h"

#include <arpa/inet.h>
#include <curl/curl.h>

#include <algorithm>
#include <memory>

namespace lumewell::updater {
namespace {

struct UrlDeleter {
  void operator()(CURLU* u) const { curl_url_cleanup(u); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlDeleter>;

struct PartDeleter {
  void operator()(char* p) const { curl_free(p); }
};

std::string part(CURLU* url, CURLUPart which) {
  char* raw = nullptr;
  if (curl_url_get(url, which, &raw, 0) != CURLUE_OK || raw == nullptr) return {};
  std::unique_ptr<char, PartDeleter> holder(raw);
  return std::string(raw);
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
  UrlHandle handle(curl_url());
  if (!handle || curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) !=
                     CURLUE_OK) {
    return {};
  }
  return lower(part(handle.get(), CURLUPART_SCHEME));
}

OptionalError checkFetchPolicy(const std::string& url) {
  UrlHandle handle(curl_url());
  if (!handle || curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) {
    return policyError("The update URL is not a valid URL: " + url);
  }
  const std::string scheme = lower(part(handle.get(), CURLUPART_SCHEME));
  const std::string host = part(handle.get(), CURLUPART_HOST);
  if (!part(handle.get(), CURLUPART_USER).empty() ||
      !part(handle.get(), CURLUPART_PASSWORD).empty()) {
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
  UrlHandle handle(curl_url());
  if (!handle || curl_url_set(handle.get(), CURLUPART_URL, base.c_str(), 0) != CURLUE_OK) {
    return policyError("The feed URL is not a valid URL: " + base);
  }
  // Setting a URL on a handle that holds one resolves it as a relative reference.
  if (curl_url_set(handle.get(), CURLUPART_URL, reference.c_str(), 0) != CURLUE_OK) {
    return policyError("The update's download URL is not a valid URL: " + reference);
  }
  std::string resolved = part(handle.get(), CURLUPART_URL);
  if (resolved.empty()) return policyError("The update's download URL is not a valid URL.");
  return resolved;
}

}  // namespace lumewell::updater
