// The registry opens the hive for every operation (so that processes and forks never share a
// connection). Reference: bare SQLite doing the same open, statement and close on the same file.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "manager/config_store.h"
#include "manager/language.h"
#include "platform/registry.h"

using namespace kv::platform;

namespace {

struct Root {
  Root() {
    char tmpl[] = "/tmp/kvbench.XXXXXX";
    path = mkdtemp(tmpl);
    setenv("KV_PLATFORM_ROOT", path.c_str(), 1);
    RegKey k;
    RegCreateKeyEx(HKEY_LOCAL_MACHINE, u"Software\\Korvendrake Virtual Drive", 0, KEY_WRITE, k.put(), nullptr);
    const uint8_t v[4] = {3, 0, 0, 0};
    RegSetValueEx(k, u"DiskCount", REG_DWORD, v, 4);
  }
  ~Root() { std::filesystem::remove_all(path); }
  std::string path;
};

Root& TheRoot() {
  static Root r;
  return r;
}

void BM_RegQueryValue(benchmark::State& state) {
  TheRoot();
  RegKey k;
  RegOpenKeyEx(HKEY_LOCAL_MACHINE, u"Software\\Korvendrake Virtual Drive", 0, KEY_READ, k.put());
  for (auto _ : state) {
    DWORD v = 0;
    benchmark::DoNotOptimize(RegReadDword(k, u"DiskCount", &v));
  }
}

void BM_SqliteQueryReference(benchmark::State& state) {
  TheRoot();
  const std::string file = RegMachineDatabasePath();
  for (auto _ : state) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, "SELECT type, data FROM vals WHERE key=?1 AND fold=?2", -1, &s, nullptr);
    sqlite3_bind_text(s, 1, "software\\korvendrake virtual drive", -1, SQLITE_STATIC);
    sqlite3_bind_text(s, 2, "diskcount", -1, SQLITE_STATIC);
    benchmark::DoNotOptimize(sqlite3_step(s));
    sqlite3_finalize(s);
    sqlite3_close(db);
  }
}

void BM_RegSetValue(benchmark::State& state) {
  TheRoot();
  RegKey k;
  RegOpenKeyEx(HKEY_LOCAL_MACHINE, u"Software\\Korvendrake Virtual Drive", 0, KEY_ALL_ACCESS, k.put());
  uint32_t n = 0;
  for (auto _ : state) {
    ++n;
    benchmark::DoNotOptimize(RegSetValueEx(k, u"FLAGS", REG_DWORD, reinterpret_cast<const uint8_t*>(&n), 4));
  }
}

void BM_SqliteSetReference(benchmark::State& state) {
  TheRoot();
  const std::string file = RegMachineDatabasePath();
  uint32_t n = 0;
  for (auto _ : state) {
    ++n;
    sqlite3* db = nullptr;
    sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    sqlite3_exec(db, "PRAGMA synchronous=NORMAL; BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO vals(key, fold, name, type, data) VALUES(?1, ?2, ?3, 4, ?4) "
                       "ON CONFLICT(key, fold) DO UPDATE SET type=excluded.type, data=excluded.data",
                       -1, &s, nullptr);
    sqlite3_bind_text(s, 1, "software\\korvendrake virtual drive", -1, SQLITE_STATIC);
    sqlite3_bind_text(s, 2, "flags2", -1, SQLITE_STATIC);
    sqlite3_bind_text(s, 3, "FLAGS2", -1, SQLITE_STATIC);
    sqlite3_bind_blob(s, 4, &n, 4, SQLITE_STATIC);
    benchmark::DoNotOptimize(sqlite3_step(s));
    sqlite3_finalize(s);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
}

// The whole drive-letter read of the manager: open the machine key, read, parse.
void BM_ConfigDriveLetters(benchmark::State& state) {
  TheRoot();
  kv::manager::ConfigStore store(kv::manager::ConfigProgram::Manager);
  for (auto _ : state) benchmark::DoNotOptimize(store.DriveLetters());
}

// Linear scan of a full table for the last id, as the lookup rule says.
void BM_TextLookupLinearScan(benchmark::State& state) {
  kv::manager::LanguageTable t;
  for (const auto& d : kv::texts::kTextDefaults) t.entries.push_back({0, d.id, u"", std::u16string(d.text)});
  for (auto _ : state) benchmark::DoNotOptimize(t.FindText(1000));
}

}  // namespace

BENCHMARK(BM_RegQueryValue);
BENCHMARK(BM_SqliteQueryReference);
BENCHMARK(BM_RegSetValue);
BENCHMARK(BM_SqliteSetReference);
BENCHMARK(BM_ConfigDriveLetters);
BENCHMARK(BM_TextLookupLinearScan);
BENCHMARK_MAIN();
