#include "platform/registry_write.h"

#include <cstdio>

#include "platform/registry.h"
#include "platform/wide_text.h"

namespace kv::platform {

namespace {

bool ReadWideString(const uint8_t* b, size_t size, size_t* pos, std::u16string* out) {
  out->clear();
  while (size - *pos >= 2) {
    const char16_t c = static_cast<char16_t>(b[*pos] | (b[*pos + 1] << 8));
    *pos += 2;
    if (c == 0) return true;
    out->push_back(c);
  }
  return false;
}

bool ReadU32(const uint8_t* b, size_t size, size_t* pos, uint32_t* v) {
  if (size - *pos < 4) return false;
  *v = b[*pos] | (b[*pos + 1] << 8) | (b[*pos + 2] << 16) | (static_cast<uint32_t>(b[*pos + 3]) << 24);
  *pos += 4;
  return true;
}

bool StartsWithNoCase(std::u16string_view s, std::u16string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char16_t a = s[i], b = prefix[i];
    if (a >= u'A' && a <= u'Z') a = static_cast<char16_t>(a + 32);
    if (b >= u'A' && b <= u'Z') b = static_cast<char16_t>(b + 32);
    if (a != b) return false;
  }
  return true;
}

NTSTATUS ToNtStatus(LSTATUS r) {
  switch (r) {
    case ERROR_SUCCESS:
      return STATUS_SUCCESS;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_KEY_DELETED:
      return STATUS_OBJECT_NAME_NOT_FOUND;
    case ERROR_ACCESS_DENIED:
      return STATUS_ACCESS_DENIED;
    case ERROR_BAD_PATHNAME:
      return STATUS_OBJECT_NAME_INVALID;
    case ERROR_INVALID_PARAMETER:
      return STATUS_INVALID_PARAMETER;
    case ERROR_OUTOFMEMORY:
      return STATUS_INSUFFICIENT_RESOURCES;
    default:
      return STATUS_UNSUCCESSFUL;
  }
}

}  // namespace

bool ParsePackedRegistryValue(const uint8_t* bytes, size_t size, PackedRegistryValue* out) {
  if (!bytes || !out) return false;
  PackedRegistryValue v;
  size_t pos = 0;
  uint32_t length = 0;
  if (!ReadWideString(bytes, size, &pos, &v.keyPath)) return false;
  if (!ReadWideString(bytes, size, &pos, &v.valueName)) return false;
  if (!ReadU32(bytes, size, &pos, &v.type)) return false;
  if (!ReadU32(bytes, size, &pos, &length)) return false;
  if (length > size - pos) return false;
  v.data.assign(bytes + pos, bytes + pos + length);
  *out = std::move(v);
  return true;
}

std::vector<uint8_t> PackRegistryValue(const PackedRegistryValue& value) {
  std::vector<uint8_t> out;
  auto text = [&](const std::u16string& s) {
    for (char16_t c : s) {
      out.push_back(static_cast<uint8_t>(c));
      out.push_back(static_cast<uint8_t>(c >> 8));
    }
    out.push_back(0);
    out.push_back(0);
  };
  auto u32 = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  text(value.keyPath);
  text(value.valueName);
  u32(value.type);
  u32(static_cast<uint32_t>(value.data.size()));
  out.insert(out.end(), value.data.begin(), value.data.end());
  return out;
}

NTSTATUS WriteRegistryValueAbsolute(const PackedRegistryValue& value) {
  constexpr std::u16string_view kMachine = u"\\Registry\\Machine";
  constexpr std::u16string_view kUser = u"\\Registry\\User\\";
  if (value.data.size() > kRegMaxValueSize) return STATUS_INVALID_PARAMETER;
  std::u16string_view path = value.keyPath;
  RegKey hive;
  if (StartsWithNoCase(path, kMachine) && (path.size() == kMachine.size() || path[kMachine.size()] == u'\\')) {
    hive = RegKey(HKEY_LOCAL_MACHINE);
    path.remove_prefix(kMachine.size());
  } else if (StartsWithNoCase(path, kUser)) {
    path.remove_prefix(kUser.size());
    const size_t end = std::min(path.find(u'\\'), path.size());
    if (end == 0 || end > 9) return STATUS_OBJECT_NAME_INVALID;
    uint32_t uid = 0;
    for (size_t i = 0; i < end; ++i) {
      if (path[i] < u'0' || path[i] > u'9') return STATUS_OBJECT_NAME_INVALID;
      uid = uid * 10 + static_cast<uint32_t>(path[i] - u'0');
    }
    path.remove_prefix(end);
    HKEY h = nullptr;
    const LSTATUS r = RegOpenUserHive(static_cast<uid_t>(uid), &h);
    if (r != ERROR_SUCCESS) return ToNtStatus(r);
    hive = RegKey(h);
  } else {
    return STATUS_OBJECT_NAME_INVALID;
  }
  if (!path.empty()) path.remove_prefix(1);  // the separator after the hive
  // Like the kernel's create: only the last key may be new.
  const size_t lastSeparator = path.rfind(u'\\');
  RegKey parent;
  if (lastSeparator != std::u16string_view::npos) {
    const LSTATUS r = RegOpenKeyEx(hive, path.substr(0, lastSeparator), 0, KEY_CREATE_SUB_KEY, parent.put());
    if (r != ERROR_SUCCESS) return ToNtStatus(r);
    path.remove_prefix(lastSeparator + 1);
  }
  RegKey key;
  LSTATUS r = RegCreateKeyEx(parent.valid() ? parent.get() : hive.get(), path, 0, KEY_SET_VALUE, key.put(), nullptr);
  if (r != ERROR_SUCCESS) return ToNtStatus(r);
  r = RegSetValueEx(key, value.valueName, value.type, value.data.data(), static_cast<DWORD>(value.data.size()));
  return ToNtStatus(r);
}

std::string RegistryWriteDebugLine(NTSTATUS status, const PackedRegistryValue& value) {
  std::u16string data = RegDataToString(value.data.data(), value.data.size());
  for (char16_t& c : data) {
    if (c < 0x20) c = u'?';
  }
  char head[64];
  std::snprintf(head, sizeof head, "SCDEmuWriteRegTable: %x, ", static_cast<uint32_t>(status));
  return std::string(head) + Utf16ToUtf8(value.keyPath) + ", " + Utf16ToUtf8(value.valueName) + ", " +
         Utf16ToUtf8(data) + ", " + std::to_string(static_cast<int32_t>(value.type)) + ", " +
         std::to_string(static_cast<int32_t>(value.data.size()));
}

}  // namespace kv::platform
