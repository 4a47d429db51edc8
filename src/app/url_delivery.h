#pragma once

#include <functional>
#include <string>
#include <vector>

#include "bridge/log_line.h"

namespace lumewell::app {

// Arguments of one launch that are looked at; a launch carries one sign-in callback, so
// this only keeps a flood (a forwarded command line may be large) from the log and the Dart side.
inline constexpr size_t kMaxLaunchArguments = 64;

// Hands the arguments of a launch to the app bridge as URLs opened with the application.
// An argument that is not an absolute URL (a stray file path, a word) is not a sign-in
// callback: it is logged as an invalid payload and dropped. The valid ones are counted,
// logged and handed over one by one, in order. Arguments past kMaxLaunchArguments are
// ignored; returns how many were.
size_t deliverLaunchArguments(const std::vector<std::string>& arguments,
                              const std::function<void(const std::string& url)>& handleIncomingUrl,
                              const bridge::LogSink& log);

}  // namespace lumewell::app
