#include "app/url_delivery.h"

#include "bridge/url_check.h"

namespace lumewell::app {

void deliverLaunchArguments(const std::vector<std::string>& arguments,
                            const std::function<void(const std::string& url)>& handleIncomingUrl,
                            const bridge::LogSink& log) {
  std::vector<const std::string*> urls;
  for (const auto& argument : arguments) {
    if (bridge::isAbsoluteUrl(argument)) {
      urls.push_back(&argument);
    } else {
      log("Lumewell Recorder handleGetURLEvent received invalid payload");
    }
  }
  if (urls.empty()) return;  // a plain launch opens no URL list
  log("Lumewell Recorder application(_:open:) received " + std::to_string(urls.size()) + " url(s)");
  for (const std::string* url : urls) {
    log("Lumewell Recorder application(_:open:) url: " + *url);
    handleIncomingUrl(*url);
  }
}

}  // namespace lumewell::app
