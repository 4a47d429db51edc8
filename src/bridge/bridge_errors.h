#pragma once

// The app bridge channel's error codes and messages.
namespace lumewell::bridge::errors {

inline constexpr const char* kBadArgs = "bad_args";
inline constexpr const char* kBadUrl = "Expected a valid url argument.";
inline constexpr const char* kOpenFailed = "open_failed";
inline constexpr const char* kOpenFailedText = "Unable to open external URL.";

}  // namespace lumewell::bridge::errors
