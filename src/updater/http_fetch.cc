#include "updater/http_fetch.h"

#include <curl/curl.h>

#include <mutex>
#include <utility>

#include "updater/url_policy.h"

namespace lumewell::updater {
namespace {

constexpr int kMaxRedirects = 5;

Error fetchError(int code, const std::string& text) { return Error{"updater.fetch", code, text}; }

struct Transfer {
  CURL* curl = nullptr;
  const FetchOptions* options = nullptr;
  const BodySink* sink = nullptr;
  int64_t received = 0;
  bool tooLarge = false;
  bool sinkRefused = false;
};

size_t onBody(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const size_t n = size * count;
  long status = 0;
  curl_easy_getinfo(t->curl, CURLINFO_RESPONSE_CODE, &status);
  if (status >= 300) return n;  // a redirect's or an error's body is not the content
  if (t->received + static_cast<int64_t>(n) > t->options->maxBytes) {
    t->tooLarge = true;
    return 0;
  }
  t->received += static_cast<int64_t>(n);
  if (!(*t->sink)(data, n)) {
    t->sinkRefused = true;
    return 0;
  }
  return n;
}

int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* t = static_cast<Transfer*>(user);
  return t->options->cancelled && t->options->cancelled->load() ? 1 : 0;
}

std::string sizeText(int64_t bytes) {
  for (const auto& [shift, unit] : {std::pair{30, " GiB"}, std::pair{20, " MiB"}}) {
    const int64_t one = int64_t{1} << shift;
    if (bytes >= one && bytes % one == 0) return std::to_string(bytes >> shift) + unit;
  }
  return std::to_string(bytes) + " bytes";
}

}  // namespace

void ensureCurlInitialized() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

OptionalError fetch(const std::string& startUrl, const FetchOptions& options,
                    const std::string& what, const BodySink& sink) {
  ensureCurlInitialized();
  std::string url = startUrl;
  const bool startedSecure = urlScheme(url) == "https";
  for (int hop = 0; hop <= kMaxRedirects; ++hop) {
    if (auto refused = checkFetchPolicy(url)) return refused;
    // A redirect never leaves HTTPS, not even for loopback.
    if (startedSecure && urlScheme(url) != "https") {
      return fetchError(11,
                        "The server redirected " + what + " from HTTPS to plain HTTP; refused.");
    }
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), &curl_easy_cleanup);
    if (!curl) return fetchError(1, "Could not start a network transfer.");
    Transfer t{curl.get(), &options, &sink};
    char errorText[CURL_ERROR_SIZE] = {};
    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);  // each hop is checked by the policy
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_NOPROXY, "localhost,127.0.0.1,::1");
    curl_easy_setopt(c, CURLOPT_USERAGENT, options.userAgent.c_str());
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, static_cast<long>(options.connectTimeout.count()));
    curl_easy_setopt(c, CURLOPT_TIMEOUT, static_cast<long>(options.totalTimeout.count()));
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, options.lowSpeedBytes);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, static_cast<long>(options.lowSpeedTime.count()));
    curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(options.maxBytes));
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &onBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &onProgress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, &t);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorText);

    const CURLcode rc = curl_easy_perform(c);
    if (t.tooLarge || rc == CURLE_FILESIZE_EXCEEDED) {
      return fetchError(
          2, "The " + what + " is larger than " + sizeText(options.maxBytes) + "; it was refused.");
    }
    if (t.sinkRefused) return fetchError(3, "Could not store " + what + ".");
    if (rc == CURLE_ABORTED_BY_CALLBACK) return fetchError(4, "The download was cancelled.");
    if (rc == CURLE_PARTIAL_FILE) {
      return fetchError(5, "The " + what +
                               " was truncated: the connection closed before all of "
                               "it arrived.");
    }
    if (rc == CURLE_OPERATION_TIMEDOUT) return fetchError(6, "Fetching " + what + " timed out.");
    if (rc != CURLE_OK) {
      const std::string detail = errorText[0] != '\0' ? errorText : curl_easy_strerror(rc);
      return fetchError(7, "Could not fetch " + what + ": " + detail);
    }
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    if (status >= 300 && status < 400) {
      char* location = nullptr;
      curl_easy_getinfo(c, CURLINFO_REDIRECT_URL, &location);
      if (location == nullptr) {
        return fetchError(8, "The server redirected " + what + " without saying where.");
      }
      url = location;
      continue;
    }
    if (status != 200) {
      return fetchError(
          9, "The server answered HTTP " + std::to_string(status) + " for " + what + ".");
    }
    return std::nullopt;
  }
  return fetchError(10, "Too many redirects while fetching " + what + ".");
}

}  // namespace lumewell::updater
