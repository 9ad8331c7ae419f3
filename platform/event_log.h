// The event log: a table under the platform root that tools and tests read, each entry also sent
// to syslog.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace kv::platform {

inline constexpr uint16_t EVENTLOG_ERROR_TYPE = 1;
inline constexpr uint16_t EVENTLOG_WARNING_TYPE = 2;
inline constexpr uint16_t EVENTLOG_INFORMATION_TYPE = 4;

using EventSourceHandle = uintptr_t;

// 0 on failure.
EventSourceHandle RegisterEventSource(const std::u16string& sourceName);
bool ReportEvent(EventSourceHandle source, uint16_t type, uint32_t eventId, const std::vector<std::u16string>& strings);
bool DeregisterEventSource(EventSourceHandle source);

struct EventRecord {
  int64_t recordNumber = 0;
  int64_t timeWritten = 0;  // seconds since 1970
  std::u16string source;
  uint16_t type = 0;
  uint32_t eventId = 0;
  std::vector<std::u16string> strings;
};

// Entries in the order written; only those of `source` when it is not empty.
std::vector<EventRecord> ReadEventLog(const std::u16string& source = {});

}  // namespace kv::platform
