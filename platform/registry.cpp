#include "platform/registry.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>

#include "platform/paths.h"
#include "platform/wide_text.h"

namespace kv::platform {

struct RegKeyObject {
  static constexpr uint32_t kMagic = 0x4B564B59;  // "KVKY"
  uint32_t magic = kMagic;
  bool user = false;
  uid_t uid = 0;
  std::string path;  // as created, components joined by '\'
  std::string fold;  // lower-case form used for lookups
  REGSAM access = 0;
};

namespace {

constexpr int kSchemaVersion = 1;
std::atomic<int> g_busyTimeoutMs{5000};

enum class Mode { Read, Write };

std::string FoldName(std::string_view s) {
  std::string f(s);
  for (char& c : f) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return f;
}

// A key as far as operations need it: hive, owner and folded path.
struct KeyRef {
  bool user = false;
  uid_t uid = 0;
  std::string path;
  std::string fold;
  REGSAM access = KEY_ALL_ACCESS;
};

bool Predefined(HKEY h) {
  return h == HKEY_LOCAL_MACHINE || h == HKEY_CURRENT_USER;
}

LSTATUS Resolve(HKEY h, KeyRef* out) {
  if (h == HKEY_LOCAL_MACHINE) {
    *out = KeyRef{false, 0, "", "", KEY_ALL_ACCESS};
    return ERROR_SUCCESS;
  }
  if (h == HKEY_CURRENT_USER) {
    *out = KeyRef{true, getuid(), "", "", KEY_ALL_ACCESS};
    return ERROR_SUCCESS;
  }
  if (h == nullptr || h->magic != RegKeyObject::kMagic) return ERROR_INVALID_HANDLE;
  *out = KeyRef{h->user, h->uid, h->path, h->fold, h->access};
  return ERROR_SUCCESS;
}

// Splits and checks a relative key path; one trailing backslash is allowed.
LSTATUS JoinPath(const KeyRef& base, std::u16string_view sub, KeyRef* out) {
  *out = base;
  if (!sub.empty() && sub.back() == u'\\') sub.remove_suffix(1);
  if (sub.empty()) return ERROR_SUCCESS;
  if (sub.size() > kRegMaxKeyPathLength) return ERROR_BAD_PATHNAME;
  size_t start = 0;
  while (start <= sub.size()) {
    size_t end = sub.find(u'\\', start);
    if (end == std::u16string_view::npos) end = sub.size();
    const std::u16string_view part = sub.substr(start, end - start);
    if (part.empty() || part.size() > kRegMaxKeyNameLength) return ERROR_BAD_PATHNAME;
    for (char16_t c : part) {
      if (c == 0) return ERROR_BAD_PATHNAME;
    }
    const std::string name = Utf16ToUtf8(part);
    if (!out->path.empty()) {
      out->path += '\\';
      out->fold += '\\';
    }
    out->path += name;
    out->fold += FoldName(name);
    start = end + 1;
  }
  if (out->path.size() > kRegMaxKeyPathLength * 3) return ERROR_BAD_PATHNAME;
  return ERROR_SUCCESS;
}

std::string ParentOf(const std::string& fold) {
  const size_t p = fold.rfind('\\');
  return p == std::string::npos ? std::string() : fold.substr(0, p);
}

std::string HiveFile(bool user, uid_t uid) {
  return user ? RegUserDatabasePath(uid) : RegMachineDatabasePath();
}

LSTATUS FromSqlite(int rc, Mode mode) {
  switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW:
      return ERROR_SUCCESS;
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
    case SQLITE_FORMAT:
    case SQLITE_SCHEMA:
      return ERROR_BADDB;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return mode == Mode::Write ? ERROR_ACCESS_DENIED : ERROR_CANTREAD;
    case SQLITE_NOMEM:
      return ERROR_OUTOFMEMORY;
    default:  // busy, locked, I/O error, disk full, cannot open
      return mode == Mode::Write ? ERROR_CANTWRITE : ERROR_CANTREAD;
  }
}

class Statement {
 public:
  Statement(sqlite3* db, const char* sql) { rc_ = sqlite3_prepare_v2(db, sql, -1, &s_, nullptr); }
  ~Statement() { sqlite3_finalize(s_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  int prepared() const { return rc_; }
  Statement& Text(int i, const std::string& v) {
    sqlite3_bind_text(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Statement& Int(int i, int64_t v) {
    sqlite3_bind_int64(s_, i, v);
    return *this;
  }
  Statement& Blob(int i, const uint8_t* d, size_t n) {
    static const uint8_t kEmpty = 0;
    sqlite3_bind_blob(s_, i, n ? d : &kEmpty, static_cast<int>(n), SQLITE_TRANSIENT);
    return *this;
  }
  int Step() { return rc_ == SQLITE_OK ? sqlite3_step(s_) : rc_; }
  std::string ColumnText(int i) const {
    const auto* t = sqlite3_column_text(s_, i);
    return t ? std::string(reinterpret_cast<const char*>(t), static_cast<size_t>(sqlite3_column_bytes(s_, i)))
             : std::string();
  }
  int64_t ColumnInt(int i) const { return sqlite3_column_int64(s_, i); }
  std::vector<uint8_t> ColumnBlob(int i) const {
    const auto* b = static_cast<const uint8_t*>(sqlite3_column_blob(s_, i));
    const int n = sqlite3_column_bytes(s_, i);
    return b && n > 0 ? std::vector<uint8_t>(b, b + n) : std::vector<uint8_t>();
  }

 private:
  sqlite3_stmt* s_ = nullptr;
  int rc_ = SQLITE_ERROR;
};

int Exec(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

// One connection for one operation, inside one transaction: nothing is shared across fork and
// every operation sees what other processes committed.
class Session {
 public:
  ~Session() {
    if (db_) {
      if (inTransaction_) Exec(db_, "ROLLBACK");
      sqlite3_close_v2(db_);
    }
  }

  // ERROR_FILE_NOT_FOUND in read mode when the hive has no database yet (an empty hive).
  LSTATUS Open(bool user, uid_t uid, Mode mode) {
    mode_ = mode;
    const std::string file = HiveFile(user, uid);
    struct stat st {};
    const bool existed = stat(file.c_str(), &st) == 0;
    if (mode == Mode::Read && !existed) return ERROR_FILE_NOT_FOUND;
    // Only root may own the machine hive, only root or the user a user's hive (and its log files):
    // a file planted by somebody else in a shared platform root is not believed.
    for (const char* suffix : {"", "-wal", "-shm"}) {
      struct stat fs {};
      if (stat((file + suffix).c_str(), &fs) == 0 && fs.st_uid != 0 && (!user || fs.st_uid != uid)) {
        return ERROR_ACCESS_DENIED;
      }
    }
    const int flags =
        (mode == Mode::Write ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY) | SQLITE_OPEN_NOMUTEX;
    int rc = sqlite3_open_v2(file.c_str(), &db_, flags, nullptr);
    if (rc != SQLITE_OK) return Fail(rc);
    sqlite3_busy_timeout(db_, g_busyTimeoutMs.load());
    if (mode == Mode::Write) {
      // Readers that cannot write the folder need the -wal and -shm files to stay; checkpoints
      // happen as the log grows, not at every close.
      int persist = 1;
      sqlite3_file_control(db_, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
      sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
      // Somebody else's file is refused before anything (even the journal mode) is changed. The
      // two reads of the check share one snapshot: another process may be creating the schema.
      rc = Exec(db_, "BEGIN");
      if (rc != SQLITE_OK) return Fail(rc);
      LSTATUS r = CheckSchema(false);
      Exec(db_, "ROLLBACK");
      if (r != ERROR_SUCCESS) return r;
      std::string journal;
      {
        Statement q(db_, "PRAGMA journal_mode");
        rc = q.Step();
        if (rc != SQLITE_ROW) return Fail(rc);
        journal = q.ColumnText(0);
      }
      if (journal != "wal") {
        // Another connection holding the file leaves the mode unchanged: treated as busy.
        Statement w(db_, "PRAGMA journal_mode=WAL");
        rc = w.Step();
        if (rc != SQLITE_ROW) return Fail(rc);
        if (w.ColumnText(0) != "wal") return Fail(SQLITE_BUSY);
      }
      Exec(db_, "PRAGMA synchronous=NORMAL");
      rc = Exec(db_, "BEGIN IMMEDIATE");
    } else {
      rc = Exec(db_, "BEGIN");
    }
    if (rc != SQLITE_OK) return Fail(rc);
    inTransaction_ = true;
    // An elevated copy creating a user's hive hands it to that user.
    if (!existed && user && uid != 0 && geteuid() == 0) {
      for (const char* suffix : {"", "-wal", "-shm"}) {
        const std::string f = file + suffix;
        if (chown(f.c_str(), uid, static_cast<gid_t>(-1)) != 0) continue;
      }
    }
    return CheckSchema(mode == Mode::Write);
  }

  LSTATUS Commit() {
    const int rc = Exec(db_, "COMMIT");
    if (rc != SQLITE_OK) return Fail(rc);
    inTransaction_ = false;
    return ERROR_SUCCESS;
  }

  bool empty() const { return empty_; }
  sqlite3* db() const { return db_; }
  LSTATUS Fail(int rc) const {
    const int primary = rc & 0xFF;
    busy_ = busy_ || primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
    return FromSqlite(rc, mode_);
  }
  // Whether a failure came from another connection holding the database.
  bool busy() const { return busy_; }

 private:
  // Ours (version 1), or an empty file: created when `create`, else noted as empty.
  LSTATUS CheckSchema(bool create) {
    empty_ = false;
    int64_t version = 0;
    {
      Statement v(db_, "PRAGMA user_version");
      const int rc = v.Step();
      if (rc != SQLITE_ROW) return Fail(rc);
      version = v.ColumnInt(0);
    }
    if (version == kSchemaVersion) return ERROR_SUCCESS;
    if (version != 0) return ERROR_BADDB;
    int64_t objects = 0;
    {
      Statement c(db_, "SELECT count(*) FROM sqlite_master");
      const int rc = c.Step();
      if (rc != SQLITE_ROW) return Fail(rc);
      objects = c.ColumnInt(0);
    }
    // Somebody else's database: never take it over.
    if (objects != 0) return ERROR_BADDB;
    if (!create) {
      empty_ = true;
      return ERROR_SUCCESS;
    }
    const int rc = Exec(db_,
                        "CREATE TABLE keys(fold TEXT PRIMARY KEY, path TEXT NOT NULL, parent TEXT NOT NULL);"
                        "CREATE INDEX keys_parent ON keys(parent, fold);"
                        "CREATE TABLE vals(id INTEGER PRIMARY KEY, key TEXT NOT NULL, fold TEXT NOT NULL,"
                        " name TEXT NOT NULL, type INTEGER NOT NULL, data BLOB NOT NULL, UNIQUE(key, fold));"
                        "PRAGMA user_version=1;");
    if (rc != SQLITE_OK) return Fail(rc);
    return ERROR_SUCCESS;
  }

  sqlite3* db_ = nullptr;
  Mode mode_ = Mode::Read;
  bool inTransaction_ = false;
  bool empty_ = false;
  mutable bool busy_ = false;
};

// Whether the key exists (the hive's root always does).
LSTATUS KeyExists(Session& s, const std::string& fold, bool* exists) {
  if (fold.empty() || s.empty()) {
    *exists = fold.empty();
    return ERROR_SUCCESS;
  }
  Statement q(s.db(), "SELECT 1 FROM keys WHERE fold=?1");
  q.Text(1, fold);
  const int rc = q.Step();
  if (rc == SQLITE_ROW) {
    *exists = true;
    return ERROR_SUCCESS;
  }
  if (rc == SQLITE_DONE) {
    *exists = false;
    return ERROR_SUCCESS;
  }
  return s.Fail(rc);
}

bool WriteAllowed(const KeyRef& k) {
  return k.user || geteuid() == 0;
}

constexpr REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | DELETE;

HKEY NewHandle(const KeyRef& k, REGSAM access) {
  auto* h = new (std::nothrow) RegKeyObject;
  if (!h) return nullptr;
  h->user = k.user;
  h->uid = k.uid;
  h->path = k.path;
  h->fold = k.fold;
  h->access = access;
  return h;
}

// Runs `op` on an open session of the key's hive and commits when it succeeded.
template <class Op>
LSTATUS WithSession(const KeyRef& k, Mode mode, Op op) {
  // The busy handler does not cover every contended step (creating the file, switching it to
  // WAL, lock upgrades it refuses to wait for), so a busy session is retried whole until the
  // busy timeout has passed.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(g_busyTimeoutMs.load());
  for (int attempt = 0;; ++attempt) {
    LSTATUS r;
    bool busy;
    {
      Session s;
      r = s.Open(k.user, k.uid, mode);
      if (r == ERROR_SUCCESS) r = op(s);
      if (r == ERROR_SUCCESS) r = s.Commit();
      busy = s.busy();
    }
    if (r == ERROR_SUCCESS || !busy || std::chrono::steady_clock::now() >= deadline) return r;
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(1 + attempt, 20)));
  }
}

// Checks that the key of an open handle still exists.
LSTATUS RequireKey(Session& s, const KeyRef& k) {
  bool exists = false;
  const LSTATUS r = KeyExists(s, k.fold, &exists);
  if (r != ERROR_SUCCESS) return r;
  return exists ? ERROR_SUCCESS : ERROR_KEY_DELETED;
}

LSTATUS ValueName(std::u16string_view name, std::string* utf8) {
  if (name.size() > kRegMaxValueNameLength) return ERROR_INVALID_PARAMETER;
  for (char16_t c : name) {
    if (c == 0) return ERROR_INVALID_PARAMETER;
  }
  *utf8 = Utf16ToUtf8(name);
  return ERROR_SUCCESS;
}

}  // namespace

namespace {

// "registry/" holds the machine hive (its creator's folder); "registry/users/" every user's hive,
// open to all and sticky like /tmp, made whenever the registry is first touched.
std::string RegistryFolder() {
  const std::string users = PlatformPath("registry/users/.");
  const std::string folder = users.substr(0, users.size() - 2);
  mkdir(folder.c_str(), 01777);
  struct stat st {};
  if (stat(folder.c_str(), &st) == 0 && st.st_uid == geteuid() && (st.st_mode & 07777) != 01777) {
    chmod(folder.c_str(), 01777);
  }
  return folder.substr(0, folder.rfind('/'));
}

}  // namespace

std::string RegMachineDatabasePath() {
  return RegistryFolder() + "/machine.db";
}
std::string RegUserDatabasePath(uid_t uid) {
  return RegistryFolder() + "/users/" + std::to_string(uid) + ".db";
}

void RegSetBusyTimeout(int milliseconds) {
  g_busyTimeoutMs = milliseconds < 0 ? 0 : milliseconds;
}

LSTATUS RegOpenKeyEx(HKEY parent, std::u16string_view subKey, DWORD /*options*/, REGSAM access, HKEY* result) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  KeyRef base, k;
  LSTATUS r = Resolve(parent, &base);
  if (r != ERROR_SUCCESS) return r;
  r = JoinPath(base, subKey, &k);
  if (r != ERROR_SUCCESS) return r;
  if ((access & kWriteRights) && !WriteAllowed(k)) return ERROR_ACCESS_DENIED;
  if (!k.fold.empty()) {
    Session s;
    r = s.Open(k.user, k.uid, Mode::Read);
    if (r == ERROR_SUCCESS) r = RequireKey(s, k);
    if (r == ERROR_KEY_DELETED) r = Predefined(parent) || subKey.size() ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
    if (r != ERROR_SUCCESS) return r;
  }
  *result = NewHandle(k, access);
  return *result ? ERROR_SUCCESS : ERROR_OUTOFMEMORY;
}

LSTATUS RegCreateKeyEx(HKEY parent, std::u16string_view subKey, DWORD /*options*/, REGSAM access, HKEY* result,
                       DWORD* disposition) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  KeyRef base, k;
  LSTATUS r = Resolve(parent, &base);
  if (r != ERROR_SUCCESS) return r;
  r = JoinPath(base, subKey, &k);
  if (r != ERROR_SUCCESS) return r;
  if ((access & kWriteRights) && !WriteAllowed(k)) return ERROR_ACCESS_DENIED;
  bool existed = false;
  {
    Session s;
    r = s.Open(k.user, k.uid, Mode::Read);
    if (r == ERROR_SUCCESS) r = KeyExists(s, k.fold, &existed);
    if (r == ERROR_FILE_NOT_FOUND) r = ERROR_SUCCESS;              // no database yet: created below
    if (r != ERROR_SUCCESS && WriteAllowed(k)) r = ERROR_SUCCESS;  // the write session decides
    if (r != ERROR_SUCCESS) return r;
  }
  if (!existed) {
    if (!WriteAllowed(k)) return ERROR_ACCESS_DENIED;
    if (!(base.access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
    r = WithSession(k, Mode::Write, [&](Session& s) -> LSTATUS {
      LSTATUS rr = RequireKey(s, base);
      if (rr != ERROR_SUCCESS) return rr;
      bool exists = false;
      rr = KeyExists(s, k.fold, &exists);
      if (rr != ERROR_SUCCESS) return rr;
      existed = exists;
      // Every missing ancestor below the base, then the key itself.
      size_t pos = base.fold.empty() ? 0 : base.fold.size() + 1;
      while (pos <= k.fold.size()) {
        size_t end = k.fold.find('\\', pos);
        if (end == std::string::npos) end = k.fold.size();
        const std::string fold = k.fold.substr(0, end);
        Statement ins(s.db(), "INSERT OR IGNORE INTO keys(fold, path, parent) VALUES(?1, ?2, ?3)");
        ins.Text(1, fold).Text(2, k.path.substr(0, end)).Text(3, ParentOf(fold));
        const int rc = ins.Step();
        if (rc != SQLITE_DONE) return s.Fail(rc);
        pos = end + 1;
      }
      return ERROR_SUCCESS;
    });
    if (r != ERROR_SUCCESS) return r;
  }
  if (disposition) *disposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
  *result = NewHandle(k, access);
  return *result ? ERROR_SUCCESS : ERROR_OUTOFMEMORY;
}

LSTATUS RegQueryValueEx(HKEY key, std::u16string_view valueName, DWORD* type, uint8_t* data, DWORD* dataSize) {
  KeyRef k;
  LSTATUS r = Resolve(key, &k);
  if (r != ERROR_SUCCESS) return r;
  if (!(k.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  if (data && !dataSize) return ERROR_INVALID_PARAMETER;
  std::string name;
  r = ValueName(valueName, &name);
  if (r != ERROR_SUCCESS) return r;
  DWORD foundType = 0;
  std::vector<uint8_t> bytes;
  r = WithSession(k, Mode::Read, [&](Session& s) -> LSTATUS {
    LSTATUS rr = RequireKey(s, k);
    if (rr != ERROR_SUCCESS) return rr;
    if (s.empty()) return ERROR_FILE_NOT_FOUND;
    Statement q(s.db(), "SELECT type, data FROM vals WHERE key=?1 AND fold=?2");
    q.Text(1, k.fold).Text(2, FoldName(name));
    const int rc = q.Step();
    if (rc == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
    if (rc != SQLITE_ROW) return s.Fail(rc);
    foundType = static_cast<DWORD>(q.ColumnInt(0));
    bytes = q.ColumnBlob(1);
    return ERROR_SUCCESS;
  });
  if (r == ERROR_KEY_DELETED && k.fold.empty()) r = ERROR_FILE_NOT_FOUND;
  if (r != ERROR_SUCCESS) return r;
  if (type) *type = foundType;
  if (!dataSize) return ERROR_SUCCESS;
  const DWORD offered = *dataSize;
  *dataSize = static_cast<DWORD>(bytes.size());
  if (!data) return ERROR_SUCCESS;
  if (offered < bytes.size()) return ERROR_MORE_DATA;
  if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
  return ERROR_SUCCESS;
}

LSTATUS RegSetValueEx(HKEY key, std::u16string_view valueName, DWORD type, const uint8_t* data, DWORD dataSize) {
  KeyRef k;
  LSTATUS r = Resolve(key, &k);
  if (r != ERROR_SUCCESS) return r;
  if (!(k.access & KEY_SET_VALUE) || !WriteAllowed(k)) return ERROR_ACCESS_DENIED;
  if (dataSize > kRegMaxValueSize || (dataSize && !data)) return ERROR_INVALID_PARAMETER;
  std::string name;
  r = ValueName(valueName, &name);
  if (r != ERROR_SUCCESS) return r;
  return WithSession(k, Mode::Write, [&](Session& s) -> LSTATUS {
    const LSTATUS rr = RequireKey(s, k);
    if (rr != ERROR_SUCCESS) return rr;
    Statement up(s.db(),
                 "INSERT INTO vals(key, fold, name, type, data) VALUES(?1, ?2, ?3, ?4, ?5) "
                 "ON CONFLICT(key, fold) DO UPDATE SET type=excluded.type, data=excluded.data");
    up.Text(1, k.fold).Text(2, FoldName(name)).Text(3, name).Int(4, type).Blob(5, data, dataSize);
    const int rc = up.Step();
    return rc == SQLITE_DONE ? ERROR_SUCCESS : s.Fail(rc);
  });
}

LSTATUS RegDeleteValue(HKEY key, std::u16string_view valueName) {
  KeyRef k;
  LSTATUS r = Resolve(key, &k);
  if (r != ERROR_SUCCESS) return r;
  if (!(k.access & KEY_SET_VALUE) || !WriteAllowed(k)) return ERROR_ACCESS_DENIED;
  std::string name;
  r = ValueName(valueName, &name);
  if (r != ERROR_SUCCESS) return r;
  return WithSession(k, Mode::Write, [&](Session& s) -> LSTATUS {
    const LSTATUS rr = RequireKey(s, k);
    if (rr != ERROR_SUCCESS) return rr;
    Statement del(s.db(), "DELETE FROM vals WHERE key=?1 AND fold=?2");
    del.Text(1, k.fold).Text(2, FoldName(name));
    const int rc = del.Step();
    if (rc != SQLITE_DONE) return s.Fail(rc);
    return sqlite3_changes(s.db()) > 0 ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
  });
}

LSTATUS RegDeleteTree(HKEY key, std::u16string_view subKey) {
  KeyRef base, k;
  LSTATUS r = Resolve(key, &base);
  if (r != ERROR_SUCCESS) return r;
  r = JoinPath(base, subKey, &k);
  if (r != ERROR_SUCCESS) return r;
  if (!(base.access & (KEY_SET_VALUE | DELETE)) || !WriteAllowed(k)) return ERROR_ACCESS_DENIED;
  const bool keepKey = k.fold == base.fold;
  {
    // Nothing to delete leaves the database untouched (and uncreated).
    Session s;
    r = s.Open(k.user, k.uid, Mode::Read);
    if (r == ERROR_FILE_NOT_FOUND) return keepKey && k.fold.empty() ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
  }
  return WithSession(k, Mode::Write, [&](Session& s) -> LSTATUS {
    bool exists = false;
    LSTATUS rr = KeyExists(s, k.fold, &exists);
    if (rr != ERROR_SUCCESS) return rr;
    if (!exists) return keepKey ? ERROR_KEY_DELETED : ERROR_FILE_NOT_FOUND;
    const std::string prefix = k.fold.empty() ? std::string() : k.fold + "\\";
    const char* sqlVals = keepKey ? "DELETE FROM vals WHERE key=?1 OR substr(key, 1, ?3)=?2"
                                  : "DELETE FROM vals WHERE key=?1 OR substr(key, 1, ?3)=?2";
    const char* sqlKeys = keepKey ? "DELETE FROM keys WHERE substr(fold, 1, ?3)=?2 AND fold<>?1"
                                  : "DELETE FROM keys WHERE fold=?1 OR substr(fold, 1, ?3)=?2";
    for (const char* sql : {sqlVals, sqlKeys}) {
      Statement del(s.db(), sql);
      del.Text(1, k.fold).Text(2, prefix).Int(3, static_cast<int64_t>(prefix.size()));
      const int rc = del.Step();
      if (rc != SQLITE_DONE) return s.Fail(rc);
    }
    return ERROR_SUCCESS;
  });
}

LSTATUS RegEnumKeyEx(HKEY key, DWORD index, std::u16string* name) {
  KeyRef k;
  LSTATUS r = Resolve(key, &k);
  if (r != ERROR_SUCCESS) return r;
  if (!(k.access & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
  if (!name) return ERROR_INVALID_PARAMETER;
  r = WithSession(k, Mode::Read, [&](Session& s) -> LSTATUS {
    const LSTATUS rr = RequireKey(s, k);
    if (rr != ERROR_SUCCESS) return rr;
    if (s.empty()) return ERROR_NO_MORE_ITEMS;
    Statement q(s.db(), "SELECT path FROM keys WHERE parent=?1 ORDER BY fold LIMIT 1 OFFSET ?2");
    q.Text(1, k.fold).Int(2, index);
    const int rc = q.Step();
    if (rc == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
    if (rc != SQLITE_ROW) return s.Fail(rc);
    const std::string path = q.ColumnText(0);
    const size_t p = path.rfind('\\');
    *name = Utf8ToUtf16(p == std::string::npos ? path : path.substr(p + 1));
    return ERROR_SUCCESS;
  });
  if (r == ERROR_FILE_NOT_FOUND && k.fold.empty()) r = ERROR_NO_MORE_ITEMS;
  return r;
}

LSTATUS RegEnumValue(HKEY key, DWORD index, std::u16string* name, DWORD* type, std::vector<uint8_t>* data) {
  KeyRef k;
  LSTATUS r = Resolve(key, &k);
  if (r != ERROR_SUCCESS) return r;
  if (!(k.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  r = WithSession(k, Mode::Read, [&](Session& s) -> LSTATUS {
    const LSTATUS rr = RequireKey(s, k);
    if (rr != ERROR_SUCCESS) return rr;
    if (s.empty()) return ERROR_NO_MORE_ITEMS;
    Statement q(s.db(), "SELECT name, type, data FROM vals WHERE key=?1 ORDER BY id LIMIT 1 OFFSET ?2");
    q.Text(1, k.fold).Int(2, index);
    const int rc = q.Step();
    if (rc == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
    if (rc != SQLITE_ROW) return s.Fail(rc);
    if (name) *name = Utf8ToUtf16(q.ColumnText(0));
    if (type) *type = static_cast<DWORD>(q.ColumnInt(1));
    if (data) *data = q.ColumnBlob(2);
    return ERROR_SUCCESS;
  });
  if (r == ERROR_FILE_NOT_FOUND && k.fold.empty()) r = ERROR_NO_MORE_ITEMS;
  return r;
}

LSTATUS RegCloseKey(HKEY key) {
  if (Predefined(key)) return ERROR_SUCCESS;
  if (key == nullptr || key->magic != RegKeyObject::kMagic) return ERROR_INVALID_HANDLE;
  key->magic = 0;
  delete key;
  return ERROR_SUCCESS;
}

LSTATUS RegOpenUserHive(uid_t uid, HKEY* result) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  if (uid != getuid() && geteuid() != 0) return ERROR_ACCESS_DENIED;
  *result = NewHandle(KeyRef{true, uid, "", "", KEY_ALL_ACCESS}, KEY_ALL_ACCESS);
  return *result ? ERROR_SUCCESS : ERROR_OUTOFMEMORY;
}

std::vector<uint8_t> RegStringData(std::u16string_view text) {
  std::vector<uint8_t> out;
  out.reserve((text.size() + 1) * 2);
  for (char16_t c : text) {
    out.push_back(static_cast<uint8_t>(c & 0xFF));
    out.push_back(static_cast<uint8_t>(c >> 8));
  }
  out.push_back(0);
  out.push_back(0);
  return out;
}

std::u16string RegDataToString(const uint8_t* data, size_t size) {
  std::u16string out;
  for (size_t i = 0; i + 1 < size; i += 2) {
    const char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (c == 0) break;
    out.push_back(c);
  }
  return out;
}

bool RegReadString(HKEY key, std::u16string_view valueName, std::u16string* text, size_t maxBytes) {
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueEx(key, valueName, &type, nullptr, &size) != ERROR_SUCCESS) return false;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
  if (size > maxBytes || size > kRegMaxValueSize) return false;
  std::vector<uint8_t> buf(size + 2, 0);
  size = static_cast<DWORD>(buf.size());
  if (RegQueryValueEx(key, valueName, &type, buf.data(), &size) != ERROR_SUCCESS) return false;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
  *text = RegDataToString(buf.data(), size);
  // A value filling the buffer without its terminator is cut to fit, as a fixed buffer would.
  if (maxBytes >= 2 && text->size() > maxBytes / 2 - 1) text->resize(maxBytes / 2 - 1);
  return true;
}

bool RegReadDword(HKEY key, std::u16string_view valueName, DWORD* value) {
  DWORD type = 0;
  uint8_t buf[4] = {};
  DWORD size = sizeof buf;
  if (RegQueryValueEx(key, valueName, &type, buf, &size) != ERROR_SUCCESS) return false;
  if (type != REG_DWORD || size != 4) return false;
  *value = static_cast<DWORD>(buf[0] | (buf[1] << 8) | (buf[2] << 16) | (static_cast<uint32_t>(buf[3]) << 24));
  return true;
}

const char* RegResultName(LSTATUS result) {
  switch (result) {
    case ERROR_SUCCESS:
      return "ERROR_SUCCESS";
    case ERROR_FILE_NOT_FOUND:
      return "ERROR_FILE_NOT_FOUND";
    case ERROR_ACCESS_DENIED:
      return "ERROR_ACCESS_DENIED";
    case ERROR_INVALID_HANDLE:
      return "ERROR_INVALID_HANDLE";
    case ERROR_OUTOFMEMORY:
      return "ERROR_OUTOFMEMORY";
    case ERROR_INVALID_PARAMETER:
      return "ERROR_INVALID_PARAMETER";
    case ERROR_BAD_PATHNAME:
      return "ERROR_BAD_PATHNAME";
    case ERROR_MORE_DATA:
      return "ERROR_MORE_DATA";
    case ERROR_NO_MORE_ITEMS:
      return "ERROR_NO_MORE_ITEMS";
    case ERROR_BADDB:
      return "ERROR_BADDB";
    case ERROR_CANTREAD:
      return "ERROR_CANTREAD";
    case ERROR_CANTWRITE:
      return "ERROR_CANTWRITE";
    case ERROR_KEY_DELETED:
      return "ERROR_KEY_DELETED";
    default:
      return "ERROR_UNKNOWN";
  }
}

}  // namespace kv::platform
