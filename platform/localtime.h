// Local time of the process's time zone (TZ), as Windows' FileTimeToLocalFileTime would give it.
#pragma once
#include <cstdint>

namespace kv::platform {

struct LocalTime {
  int year = 0;   // e.g. 2024
  int month = 0;  // 1..12
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int offsetSeconds = 0;  // local time minus UTC
};

// False when the time cannot be represented.
bool ToLocalTime(int64_t unixSeconds, LocalTime* out);

// Seconds since 1970 of a Windows FILETIME (100 ns units since 1601).
int64_t FileTimeToUnixSeconds(uint64_t fileTime);

}  // namespace kv::platform
