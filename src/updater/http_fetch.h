#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "runtime/error.h"

namespace lumewell::updater {

struct FetchOptions {
  int64_t maxBytes = 0;  // the body may not be larger (0: no body allowed at all)
  std::chrono::seconds connectTimeout{30};
  std::chrono::seconds totalTimeout{60};
  // Abort when fewer than lowSpeedBytes per second arrive for lowSpeedTime.
  long lowSpeedBytes = 1024;
  std::chrono::seconds lowSpeedTime{60};
  std::string userAgent = "Lumewell Recorder";
  // Checked while transferring; set it to abort.
  std::shared_ptr<std::atomic<bool>> cancelled;
};

// Receives the body in pieces; returning false aborts the transfer.
using BodySink = std::function<bool(const char* data, size_t size)>;

// GET over libcurl. Every URL, and every redirect target (at most 5), must pass the fetch
// policy. A body larger than maxBytes, an HTTP error status, a transfer that ends before its
// announced length, a stall and a cancel each fail with their own sentence. `what` names the
// thing fetched in those sentences ("the update feed").
[[nodiscard]] OptionalError fetch(const std::string& url, const FetchOptions& options,
                                  const std::string& what, const BodySink& sink);

// Initializes libcurl once per process; call on the main thread before the first fetch.
void ensureCurlInitialized();

}  // namespace lumewell::updater
