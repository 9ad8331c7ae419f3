#include "platform/event_log.h"

#include <sqlite3.h>
#include <syslog.h>

#include <ctime>
#include <memory>
#include <mutex>

#include "platform/paths.h"
#include "platform/wide_text.h"

namespace kv::platform {
namespace {

struct Source {
  std::u16string name;
};

// Insertion strings are kept as one text, each followed by a NUL character.
std::string JoinStrings(const std::vector<std::u16string>& strings) {
  std::string joined;
  for (const auto& s : strings) {
    joined += Utf16ToUtf8(s);
    joined.push_back('\0');
  }
  return joined;
}

sqlite3* OpenLog() {
  sqlite3* db = nullptr;
  const std::string file = PlatformPath("eventlog.db");
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr) !=
      SQLITE_OK) {
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, 5000);
  if (sqlite3_exec(db,
                   "PRAGMA journal_mode=WAL;"
                   "CREATE TABLE IF NOT EXISTS events(record INTEGER PRIMARY KEY AUTOINCREMENT, time INTEGER, "
                   "source TEXT, type INTEGER, event_id INTEGER, strings BLOB)",
                   nullptr, nullptr, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return nullptr;
  }
  return db;
}

}  // namespace

EventSourceHandle RegisterEventSource(const std::u16string& sourceName) {
  if (sourceName.empty()) return 0;
  return reinterpret_cast<EventSourceHandle>(new Source{sourceName});
}

bool DeregisterEventSource(EventSourceHandle source) {
  delete reinterpret_cast<Source*>(source);
  return source != 0;
}

bool ReportEvent(EventSourceHandle handle, uint16_t type, uint32_t eventId,
                 const std::vector<std::u16string>& strings) {
  const auto* source = reinterpret_cast<const Source*>(handle);
  if (!source) return false;
  const std::string name = Utf16ToUtf8(source->name);
  std::string text;
  for (const auto& s : strings) text += " " + Utf16ToUtf8(s);
  syslog(LOG_USER | (type == EVENTLOG_ERROR_TYPE ? LOG_ERR : LOG_INFO), "%s: event %u%s", name.c_str(), eventId,
         text.c_str());

  sqlite3* db = OpenLog();
  if (!db) return false;
  sqlite3_stmt* st = nullptr;
  bool ok = sqlite3_prepare_v2(db, "INSERT INTO events(time, source, type, event_id, strings) VALUES(?,?,?,?,?)", -1,
                               &st, nullptr) == SQLITE_OK;
  if (ok) {
    const std::string joined = JoinStrings(strings);
    sqlite3_bind_int64(st, 1, static_cast<sqlite3_int64>(std::time(nullptr)));
    sqlite3_bind_text(st, 2, name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(st, 3, type);
    sqlite3_bind_int64(st, 4, eventId);
    sqlite3_bind_blob(st, 5, joined.data(), static_cast<int>(joined.size()), SQLITE_TRANSIENT);
    ok = sqlite3_step(st) == SQLITE_DONE;
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return ok;
}

std::vector<EventRecord> ReadEventLog(const std::u16string& source) {
  std::vector<EventRecord> out;
  sqlite3* db = OpenLog();
  if (!db) return out;
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db,
                         "SELECT record, time, source, type, event_id, strings FROM events "
                         "WHERE ?1 = '' OR source = ?1 ORDER BY record",
                         -1, &st, nullptr) == SQLITE_OK) {
    const std::string name = Utf16ToUtf8(source);
    sqlite3_bind_text(st, 1, name.c_str(), -1, SQLITE_TRANSIENT);
    while (sqlite3_step(st) == SQLITE_ROW) {
      EventRecord r;
      r.recordNumber = sqlite3_column_int64(st, 0);
      r.timeWritten = sqlite3_column_int64(st, 1);
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(st, 2));
      r.source = Utf8ToUtf16(text ? text : "");
      r.type = static_cast<uint16_t>(sqlite3_column_int(st, 3));
      r.eventId = static_cast<uint32_t>(sqlite3_column_int64(st, 4));
      const auto* blob = static_cast<const char*>(sqlite3_column_blob(st, 5));
      const std::string joined(blob ? blob : "", static_cast<size_t>(sqlite3_column_bytes(st, 5)));
      for (size_t at = 0; at < joined.size();) {
        const size_t end = joined.find('\0', at);
        r.strings.push_back(Utf8ToUtf16(joined.substr(at, end == std::string::npos ? std::string::npos : end - at)));
        if (end == std::string::npos) break;
        at = end + 1;
      }
      out.push_back(std::move(r));
    }
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return out;
}

}  // namespace kv::platform
