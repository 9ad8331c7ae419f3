#include "platform/localtime.h"

#include <cstdlib>
#include <ctime>
#include <string>

namespace kv::platform {

bool ToLocalTime(int64_t unixSeconds, LocalTime* out) {
  // tzset when TZ changed, as localtime_r alone does not promise to notice; not on every call,
  // since without TZ each tzset looks at /etc/localtime again.
  thread_local std::string lastZone = "\x01";
  const char* zone = std::getenv("TZ");
  const std::string now = zone == nullptr ? std::string("\x02") : std::string(zone);
  if (now != lastZone) {
    tzset();
    lastZone = now;
  }
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
