#include "app/url_delivery.h"

#include <algorithm>

#include "bridge/url_check.h"

namespace lumewell::app {

size_t deliverLaunchArguments(const std::vector<std::string>& arguments,
                              const std::function<void(const std::string& url)>& handleIncomingUrl,
                              const bridge::LogSink& log) {
  const size_t considered = std::min(arguments.size(), kMaxLaunchArguments);
  std::vector<const std::string*> urls;
  for (size_t i = 0; i < considered; ++i) {
    const std::string& argument = arguments[i];
    if (bridge::isAbsoluteUrl(argument)) {
      urls.push_back(&argument);
    } else {
      log("Lumewell Recorder handleGetURLEvent received invalid payload");
    }
  }
  const size_t ignored = arguments.size() - considered;
  if (urls.empty()) return ignored;  // a plain launch opens no URL list
  log("Lumewell Recorder application(_:open:) received " + std::to_string(urls.size()) + " url(s)");
  for (const std::string* url : urls) {
    log("Lumewell Recorder application(_:open:) url: " + *url);
    handleIncomingUrl(*url);
  }
  return ignored;
}

}  // namespace lumewell::app
