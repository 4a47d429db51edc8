#include "runtime/iso8601.h"

#include <cstdio>
#include <ctime>

namespace lumewell {
namespace {

std::string format(TimePoint t, bool millis) {
  using namespace std::chrono;
  // Floor, so that times before the epoch still split into a valid second and millisecond.
  auto ms = floor<milliseconds>(t.time_since_epoch()).count();
  long long secs = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
  int frac = static_cast<int>(ms - secs * 1000);
  std::time_t tt = static_cast<std::time_t>(secs);
  std::tm tm{};
  gmtime_r(&tt, &tm);
  char buf[96];
  int n = std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", tm.tm_year + 1900,
                        tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  if (millis) n += std::snprintf(buf + n, sizeof buf - n, ".%03d", frac);
  return std::string(buf, n) + "Z";
}

}  // namespace

std::string iso8601Millis(TimePoint t) { return format(t, true); }
std::string iso8601Seconds(TimePoint t) { return format(t, false); }

}  // namespace lumewell
