#pragma once

// The app bridge channel's error codes and messages.
namespace lumewell::bridge::errors {

inline constexpr char kBadArgs[] = "bad_args";
inline constexpr char kBadUrl[] = "Expected a valid url argument.";
inline constexpr char kOpenFailed[] = "open_failed";
inline constexpr char kOpenFailedText[] = "Unable to open external URL.";

}  // namespace lumewell::bridge::errors
