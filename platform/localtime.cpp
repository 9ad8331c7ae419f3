#include "platform/localtime.h"

#include <ctime>

namespace kv::platform {

bool ToLocalTime(int64_t unixSeconds, LocalTime* out) {
  // tzset so that a changed TZ takes effect, as localtime_r alone does not promise it.
  tzset();
  const time_t t = static_cast<time_t>(unixSeconds);
  struct tm tmv {};
  if (localtime_r(&t, &tmv) == nullptr) return false;
  out->year = tmv.tm_year + 1900;
  out->month = tmv.tm_mon + 1;
  out->day = tmv.tm_mday;
  out->hour = tmv.tm_hour;
  out->minute = tmv.tm_min;
  out->second = tmv.tm_sec;
  out->offsetSeconds = static_cast<int>(tmv.tm_gmtoff);
  return true;
}

int64_t FileTimeToUnixSeconds(uint64_t fileTime) {
  return static_cast<int64_t>(fileTime / 10000000ull) - 11644473600ll;
}

}  // namespace kv::platform
