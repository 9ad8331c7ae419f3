// kvreg: reads and writes the registry from the command line, in the spirit of the reg command.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/wide_text.h"

using namespace kv::platform;

namespace {

constexpr int kOk = 0;
constexpr int kFailure = 1;
constexpr int kUsage = 2;

const char kHelp[] =
    "Usage: kvreg COMMAND KEY [options]\n"
    "Reads and writes the registry of the platform root (KV_PLATFORM_ROOT).\n"
    "KEY is written HKLM\\... or HKCU\\... (also HKEY_LOCAL_MACHINE\\..., HKEY_CURRENT_USER\\...).\n"
    "\n"
    "  kvreg add KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/f]\n"
    "      creates the key; with /v (or /ve for the default value) also sets the value.\n"
    "      TYPE: REG_SZ (default), REG_EXPAND_SZ, REG_DWORD (decimal or 0x hex), REG_BINARY (hex digits).\n"
    "  kvreg query KEY [/v NAME | /ve] [/s]\n"
    "      prints the key, then one value per line (name, type, data), then the subkeys; /s recurses.\n"
    "  kvreg delete KEY [/v NAME | /ve | /va] [/f]\n"
    "      deletes the value, all values (/va), or the key with everything below it.\n"
    "  kvreg export KEY FILE [/y]\n"
    "      writes the key and everything below it as a registry file (UTF-8); /y overwrites FILE.\n"
    "\n"
    "Exit status: 0 success, 1 failure, 2 usage error. Writes to HKLM need root.\n";

struct KeyName {
  HKEY root = nullptr;
  std::string rootName;  // HKEY_LOCAL_MACHINE / HKEY_CURRENT_USER
  std::string sub;       // without leading or trailing backslash
};

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool ParseKey(const std::string& text, KeyName* out) {
  const size_t slash = text.find('\\');
  const std::string head = Upper(text.substr(0, slash));
  if (head == "HKLM" || head == "HKEY_LOCAL_MACHINE") {
    out->root = HKEY_LOCAL_MACHINE;
    out->rootName = "HKEY_LOCAL_MACHINE";
  } else if (head == "HKCU" || head == "HKEY_CURRENT_USER") {
    out->root = HKEY_CURRENT_USER;
    out->rootName = "HKEY_CURRENT_USER";
  } else {
    return false;
  }
  out->sub = slash == std::string::npos ? std::string() : text.substr(slash + 1);
  while (!out->sub.empty() && out->sub.back() == '\\') out->sub.pop_back();
  return true;
}

std::string FullName(const KeyName& k) {
  return k.sub.empty() ? k.rootName : k.rootName + "\\" + k.sub;
}

const char* TypeName(DWORD type) {
  switch (type) {
    case REG_NONE:
      return "REG_NONE";
    case REG_SZ:
      return "REG_SZ";
    case REG_EXPAND_SZ:
      return "REG_EXPAND_SZ";
    case REG_BINARY:
      return "REG_BINARY";
    case REG_DWORD:
      return "REG_DWORD";
    default:
      return "REG_UNKNOWN";
  }
}

bool ParseType(const std::string& s, DWORD* type) {
  const std::string u = Upper(s);
  if (u == "REG_SZ")
    *type = REG_SZ;
  else if (u == "REG_EXPAND_SZ")
    *type = REG_EXPAND_SZ;
  else if (u == "REG_DWORD")
    *type = REG_DWORD;
  else if (u == "REG_BINARY")
    *type = REG_BINARY;
  else if (u == "REG_NONE")
    *type = REG_NONE;
  else
    return false;
  return true;
}

std::string Hex(const std::vector<uint8_t>& d, const char* sep) {
  std::string out;
  char b[4];
  for (size_t i = 0; i < d.size(); ++i) {
    std::snprintf(b, sizeof b, "%02X", d[i]);
    if (i) out += sep;
    out += b;
  }
  return out;
}

std::string DataText(DWORD type, const std::vector<uint8_t>& d) {
  if (type == REG_SZ || type == REG_EXPAND_SZ) return Utf16ToUtf8(RegDataToString(d.data(), d.size()));
  if (type == REG_DWORD && d.size() == 4) {
    const uint32_t v = d[0] | (d[1] << 8) | (d[2] << 16) | (static_cast<uint32_t>(d[3]) << 24);
    char b[16];
    std::snprintf(b, sizeof b, "0x%x", v);
    return b;
  }
  return Hex(d, "");
}

bool EncodeData(DWORD type, const std::string& text, std::vector<uint8_t>* out) {
  if (type == REG_SZ || type == REG_EXPAND_SZ) {
    *out = RegStringData(Utf8ToUtf16(text));
    return true;
  }
  if (type == REG_DWORD) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const bool negative = text[0] == '-';
    const long long v = std::strtoll(text.c_str(), &end, 0);
    if (errno || *end || v > 0xFFFFFFFFll || v < -0x80000000ll) return false;
    const uint32_t u = negative ? static_cast<uint32_t>(static_cast<int32_t>(v)) : static_cast<uint32_t>(v);
    *out = {static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8), static_cast<uint8_t>(u >> 16),
            static_cast<uint8_t>(u >> 24)};
    return true;
  }
  out->clear();
  if (text.size() % 2) return false;
  for (size_t i = 0; i < text.size(); i += 2) {
    auto nib = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    };
    const int hi = nib(text[i]), lo = nib(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out->push_back(static_cast<uint8_t>(hi * 16 + lo));
  }
  return true;
}

int Fail(const std::string& what, LSTATUS r) {
  if (r == ERROR_FILE_NOT_FOUND) {
    std::fprintf(stderr, "ERROR: The system was unable to find the specified registry key or value. (%s)\n",
                 what.c_str());
  } else if (r == ERROR_ACCESS_DENIED) {
    std::fprintf(stderr, "ERROR: Access is denied. (%s)\n", what.c_str());
  } else {
    std::fprintf(stderr, "ERROR: %s: %s\n", what.c_str(), RegResultName(r));
  }
  return kFailure;
}

int Usage(const std::string& msg) {
  std::fprintf(stderr, "kvreg: %s (see kvreg --help)\n", msg.c_str());
  return kUsage;
}

struct Options {
  std::vector<std::string> positional;
  bool hasValue = false;
  std::string value;
  bool allValues = false;
  std::string type = "REG_SZ";
  bool hasData = false;
  std::string data;
  bool recurse = false;
};

bool ParseOptions(int argc, char** argv, Options* o, std::string* error) {
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    const std::string u = Upper(a);
    auto next = [&](std::string* dst) {
      if (i + 1 >= argc) {
        *error = a + " needs a value";
        return false;
      }
      *dst = argv[++i];
      return true;
    };
    if (u == "/V") {
      o->hasValue = true;
      if (!next(&o->value)) return false;
    } else if (u == "/VE") {
      o->hasValue = true;
      o->value.clear();
    } else if (u == "/VA") {
      o->allValues = true;
    } else if (u == "/T") {
      if (!next(&o->type)) return false;
    } else if (u == "/D") {
      o->hasData = true;
      if (!next(&o->data)) return false;
    } else if (u == "/S") {
      o->recurse = true;
    } else if (u == "/F" || u == "/Y") {
      // No prompts are ever asked.
    } else if (a.size() > 1 && a[0] == '/' && a.find('\\') == std::string::npos &&
               a.find('/', 1) == std::string::npos) {
      *error = "unknown option " + a;
      return false;
    } else {
      o->positional.push_back(a);
    }
  }
  return true;
}

int Add(const KeyName& k, const Options& o) {
  RegKey key;
  LSTATUS r = RegCreateKeyEx(k.root, Utf8ToUtf16(k.sub), 0, KEY_WRITE | KEY_READ, key.put(), nullptr);
  if (r != ERROR_SUCCESS) return Fail(FullName(k), r);
  if (!o.hasValue) {
    if (o.hasData) return Usage("/d needs /v or /ve");
    std::puts("The operation completed successfully.");
    return kOk;
  }
  DWORD type = REG_SZ;
  if (!ParseType(o.type, &type)) return Usage("unknown type " + o.type);
  std::vector<uint8_t> data;
  if (!EncodeData(type, o.data, &data)) return Usage("data does not fit " + o.type + ": " + o.data);
  r = RegSetValueEx(key, Utf8ToUtf16(o.value), type, data.data(), static_cast<DWORD>(data.size()));
  if (r != ERROR_SUCCESS) return Fail(FullName(k) + " " + o.value, r);
  std::puts("The operation completed successfully.");
  return kOk;
}

void PrintValue(const std::u16string& name, DWORD type, const std::vector<uint8_t>& data) {
  const std::string n = name.empty() ? "(Default)" : Utf16ToUtf8(name);
  std::printf("    %s    %s    %s\n", n.c_str(), TypeName(type), DataText(type, data).c_str());
}

LSTATUS QueryKey(HKEY key, const std::string& full, bool recurse) {
  std::printf("%s\n", full.c_str());
  for (DWORD i = 0;; ++i) {
    std::u16string name;
    DWORD type = 0;
    std::vector<uint8_t> data;
    const LSTATUS r = RegEnumValue(key, i, &name, &type, &data);
    if (r == ERROR_NO_MORE_ITEMS) break;
    if (r != ERROR_SUCCESS) return r;
    PrintValue(name, type, data);
  }
  std::vector<std::u16string> subs;
  for (DWORD i = 0;; ++i) {
    std::u16string name;
    const LSTATUS r = RegEnumKeyEx(key, i, &name);
    if (r == ERROR_NO_MORE_ITEMS) break;
    if (r != ERROR_SUCCESS) return r;
    subs.push_back(name);
  }
  for (const auto& s : subs) {
    const std::string child = full + "\\" + Utf16ToUtf8(s);
    if (!recurse) {
      std::printf("%s\n", child.c_str());
      continue;
    }
    std::printf("\n");
    RegKey sub;
    const LSTATUS r = RegOpenKeyEx(key, s, 0, KEY_READ, sub.put());
    if (r != ERROR_SUCCESS) return r;
    const LSTATUS rr = QueryKey(sub, child, true);
    if (rr != ERROR_SUCCESS) return rr;
  }
  return ERROR_SUCCESS;
}

int Query(const KeyName& k, const Options& o) {
  RegKey key;
  LSTATUS r = RegOpenKeyEx(k.root, Utf8ToUtf16(k.sub), 0, KEY_READ, key.put());
  if (r != ERROR_SUCCESS) return Fail(FullName(k), r);
  if (o.hasValue) {
    DWORD type = 0, size = 0;
    const std::u16string name = Utf8ToUtf16(o.value);
    r = RegQueryValueEx(key, name, &type, nullptr, &size);
    std::vector<uint8_t> data(size);
    if (r == ERROR_SUCCESS) r = RegQueryValueEx(key, name, &type, data.data(), &size);
    if (r != ERROR_SUCCESS) return Fail(FullName(k) + " " + o.value, r);
    data.resize(size);
    std::printf("%s\n", FullName(k).c_str());
    PrintValue(name, type, data);
    return kOk;
  }
  r = QueryKey(key, FullName(k), o.recurse);
  return r == ERROR_SUCCESS ? kOk : Fail(FullName(k), r);
}

int Delete(const KeyName& k, const Options& o) {
  if (o.hasValue || o.allValues) {
    RegKey key;
    LSTATUS r = RegOpenKeyEx(k.root, Utf8ToUtf16(k.sub), 0, KEY_READ | KEY_SET_VALUE, key.put());
    if (r != ERROR_SUCCESS) return Fail(FullName(k), r);
    if (o.hasValue) {
      r = RegDeleteValue(key, Utf8ToUtf16(o.value));
      if (r != ERROR_SUCCESS) return Fail(FullName(k) + " " + o.value, r);
    } else {
      std::vector<std::u16string> names;
      for (DWORD i = 0;; ++i) {
        std::u16string name;
        r = RegEnumValue(key, i, &name, nullptr, nullptr);
        if (r == ERROR_NO_MORE_ITEMS) break;
        if (r != ERROR_SUCCESS) return Fail(FullName(k), r);
        names.push_back(name);
      }
      for (const auto& n : names) {
        r = RegDeleteValue(key, n);
        if (r != ERROR_SUCCESS && r != ERROR_FILE_NOT_FOUND) return Fail(FullName(k), r);
      }
    }
    std::puts("The operation completed successfully.");
    return kOk;
  }
  if (k.sub.empty()) return Usage("a whole hive cannot be deleted");
  const LSTATUS r = RegDeleteTree(k.root, Utf8ToUtf16(k.sub));
  if (r != ERROR_SUCCESS) return Fail(FullName(k), r);
  std::puts("The operation completed successfully.");
  return kOk;
}

std::string RegFileString(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

LSTATUS ExportKey(HKEY key, const std::string& full, std::string* out) {
  *out += "\n[" + full + "]\n";
  for (DWORD i = 0;; ++i) {
    std::u16string name;
    DWORD type = 0;
    std::vector<uint8_t> data;
    const LSTATUS r = RegEnumValue(key, i, &name, &type, &data);
    if (r == ERROR_NO_MORE_ITEMS) break;
    if (r != ERROR_SUCCESS) return r;
    *out += name.empty() ? "@" : "\"" + RegFileString(Utf16ToUtf8(name)) + "\"";
    *out += "=";
    if (type == REG_SZ) {
      *out += "\"" + RegFileString(Utf16ToUtf8(RegDataToString(data.data(), data.size()))) + "\"";
    } else if (type == REG_DWORD && data.size() == 4) {
      char b[16];
      std::snprintf(b, sizeof b, "dword:%08x", data[0] | (data[1] << 8) | (data[2] << 16) | (data[3] << 24));
      *out += b;
    } else if (type == REG_BINARY) {
      *out += "hex:" + Hex(data, ",");
    } else {
      char b[16];
      std::snprintf(b, sizeof b, "hex(%x):", type);
      *out += b + Hex(data, ",");
    }
    *out += "\n";
  }
  std::vector<std::u16string> subs;
  for (DWORD i = 0;; ++i) {
    std::u16string name;
    const LSTATUS r = RegEnumKeyEx(key, i, &name);
    if (r == ERROR_NO_MORE_ITEMS) break;
    if (r != ERROR_SUCCESS) return r;
    subs.push_back(name);
  }
  for (const auto& s : subs) {
    RegKey sub;
    LSTATUS r = RegOpenKeyEx(key, s, 0, KEY_READ, sub.put());
    if (r == ERROR_SUCCESS) r = ExportKey(sub, full + "\\" + Utf16ToUtf8(s), out);
    if (r != ERROR_SUCCESS) return r;
  }
  return ERROR_SUCCESS;
}

int Export(const KeyName& k, const std::string& file) {
  RegKey key;
  LSTATUS r = RegOpenKeyEx(k.root, Utf8ToUtf16(k.sub), 0, KEY_READ, key.put());
  if (r != ERROR_SUCCESS) return Fail(FullName(k), r);
  std::string text = "Windows Registry Editor Version 5.00\n";
  r = ExportKey(key, FullName(k), &text);
  if (r != ERROR_SUCCESS) return Fail(FullName(k), r);
  std::ofstream f(file, std::ios::binary | std::ios::trunc);
  f << text;
  f.close();
  if (!f) {
    std::fprintf(stderr, "ERROR: cannot write %s: %s\n", file.c_str(), std::strerror(errno));
    return kFailure;
  }
  std::puts("The operation completed successfully.");
  return kOk;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "/?")) {
    std::fputs(kHelp, argc < 2 ? stderr : stdout);
    return argc < 2 ? kUsage : kOk;
  }
  const std::string command = Upper(argv[1]);
  for (int i = 2; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "/?")) {
      std::fputs(kHelp, stdout);
      return kOk;
    }
  }
  Options o;
  std::string error;
  if (!ParseOptions(argc, argv, &o, &error)) return Usage(error);
  if (o.positional.empty()) return Usage("KEY is missing");
  KeyName k;
  if (!ParseKey(o.positional[0], &k)) return Usage("KEY must begin with HKLM\\ or HKCU\\: " + o.positional[0]);
  const size_t wantPositional = command == "EXPORT" ? 2 : 1;
  if (o.positional.size() != wantPositional) return Usage("wrong number of arguments for " + std::string(argv[1]));
  if (command == "ADD") return Add(k, o);
  if (command == "QUERY") return Query(k, o);
  if (command == "DELETE") return Delete(k, o);
  if (command == "EXPORT") return Export(k, o.positional[1]);
  return Usage("unknown command " + std::string(argv[1]));
}
