// Status values of the kernel layer, as Windows defines them.
#pragma once
#include <cstdint>

namespace kv {

using NTSTATUS = int32_t;

constexpr NTSTATUS NtStatus(uint32_t v) {
  return static_cast<NTSTATUS>(v);
}

inline constexpr NTSTATUS STATUS_SUCCESS = 0;
inline constexpr NTSTATUS STATUS_TIMEOUT = 0x00000102;
inline constexpr NTSTATUS STATUS_PENDING = 0x00000103;
inline constexpr NTSTATUS STATUS_UNSUCCESSFUL = NtStatus(0xC0000001);
inline constexpr NTSTATUS STATUS_INFO_LENGTH_MISMATCH = NtStatus(0xC0000004);
inline constexpr NTSTATUS STATUS_INVALID_HANDLE = NtStatus(0xC0000008);
inline constexpr NTSTATUS STATUS_INVALID_PARAMETER = NtStatus(0xC000000D);
inline constexpr NTSTATUS STATUS_NO_SUCH_FILE = NtStatus(0xC000000F);
inline constexpr NTSTATUS STATUS_INVALID_DEVICE_REQUEST = NtStatus(0xC0000010);
inline constexpr NTSTATUS STATUS_END_OF_FILE = NtStatus(0xC0000011);
inline constexpr NTSTATUS STATUS_NO_MEDIA_IN_DEVICE = NtStatus(0xC0000013);
inline constexpr NTSTATUS STATUS_NO_MEMORY = NtStatus(0xC0000017);
inline constexpr NTSTATUS STATUS_ACCESS_DENIED = NtStatus(0xC0000022);
inline constexpr NTSTATUS STATUS_BUFFER_TOO_SMALL = NtStatus(0xC0000023);
inline constexpr NTSTATUS STATUS_OBJECT_NAME_INVALID = NtStatus(0xC0000033);
inline constexpr NTSTATUS STATUS_OBJECT_NAME_NOT_FOUND = NtStatus(0xC0000034);
inline constexpr NTSTATUS STATUS_OBJECT_NAME_COLLISION = NtStatus(0xC0000035);
inline constexpr NTSTATUS STATUS_OBJECT_PATH_NOT_FOUND = NtStatus(0xC000003A);
inline constexpr NTSTATUS STATUS_DATA_ERROR = NtStatus(0xC000003E);
inline constexpr NTSTATUS STATUS_SHARING_VIOLATION = NtStatus(0xC0000043);
inline constexpr NTSTATUS STATUS_MEDIA_WRITE_PROTECTED = NtStatus(0xC00000A2);
inline constexpr NTSTATUS STATUS_INSUFFICIENT_RESOURCES = NtStatus(0xC000009A);
inline constexpr NTSTATUS STATUS_IO_DEVICE_ERROR = NtStatus(0xC0000185);
inline constexpr NTSTATUS STATUS_NOT_SUPPORTED = NtStatus(0xC00000BB);
inline constexpr NTSTATUS STATUS_CANCELLED = NtStatus(0xC0000120);
inline constexpr NTSTATUS STATUS_FILE_IS_A_DIRECTORY = NtStatus(0xC00000BA);
inline constexpr NTSTATUS STATUS_DRIVER_INTERNAL_ERROR = NtStatus(0xC0000183);

constexpr bool NT_SUCCESS(NTSTATUS s) {
  return s >= 0;
}

}  // namespace kv
