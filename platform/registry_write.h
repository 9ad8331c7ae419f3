// The packed registry value of the driver's registry-write control code, and the write itself as
// the kernel's RtlWriteRegistryValue with an absolute path does it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/ntstatus.h"

namespace kv::platform {

// In this order without padding: key path (NUL-terminated UTF-16), value name (NUL-terminated
// UTF-16), u32 type, u32 data length, the data. Bytes after the data are ignored.
struct PackedRegistryValue {
  std::u16string keyPath;  // "\Registry\Machine\..." or "\Registry\User\<uid>\..."
  std::u16string valueName;
  uint32_t type = 0;
  std::vector<uint8_t> data;
};

// False unless both strings, both u32 fields and all the data lie inside the `size` bytes.
bool ParsePackedRegistryValue(const uint8_t* bytes, size_t size, PackedRegistryValue* out);
// The packed form of `value` (callers and tests).
std::vector<uint8_t> PackRegistryValue(const PackedRegistryValue& value);

// Writes the value; the key itself is created when its parent exists. "\Registry\Machine" is
// HKEY_LOCAL_MACHINE, "\Registry\User\<uid>" that user's HKEY_CURRENT_USER. Results:
// STATUS_SUCCESS, STATUS_OBJECT_NAME_INVALID (not such a path), STATUS_OBJECT_NAME_NOT_FOUND
// (parent key missing), STATUS_ACCESS_DENIED, STATUS_INVALID_PARAMETER (data too large),
// STATUS_UNSUCCESSFUL (database unusable).
NTSTATUS WriteRegistryValueAbsolute(const PackedRegistryValue& value);

// "SCDEmuWriteRegTable: %x, %ws, %ws, %ws, %d, %d" filled in with the status, path, value name,
// data, type and length. The data is shown as UTF-16 text only as far as it goes, never past its
// length, whatever its type.
std::string RegistryWriteDebugLine(NTSTATUS status, const PackedRegistryValue& value);

}  // namespace kv::platform
