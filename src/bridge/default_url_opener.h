#pragma once

#include <functional>
#include <string>

namespace lumewell::bridge {

// Opens a URL in the desktop's default handler for its scheme and reports whether the
// handler was started. done runs later, on the main thread.
using UrlOpener =
    std::function<void(const std::string& url, std::function<void(bool opened)> done)>;

// The product's opener: GIO's default-handler lookup and launch. The URL goes to the
// handler as one argument, never through a shell.
void openUrlWithDefaultHandler(const std::string& url, std::function<void(bool opened)> done);

}  // namespace lumewell::bridge
