// A small driver for the host's own tests: two devices whose reads return a known pattern and
// can be held back, so that the host's protocol is tested apart from the real drives.
#pragma once
#include <cstdint>

#include "platform/kernel/kernel.h"

namespace kv::test {

inline constexpr uint64_t kHeldReadOffset = 0xF000000000ull;  // reads here wait for a release
inline constexpr uint32_t IOCTL_TEST_RELEASE = 0x222000;      // completes every held read
inline constexpr uint32_t IOCTL_TEST_ECHO = 0x222004;         // output = input, reversed
inline constexpr uint32_t IOCTL_TEST_WHO = 0x222008;          // output = requestor uid, gid, pid
inline constexpr uint32_t IOCTL_TEST_HELD = 0x22200C;         // output = u32 number of held reads

// Byte at position p of every test device.
inline uint8_t PatternByte(uint64_t p) {
  return static_cast<uint8_t>(p * 7 + (p >> 11));
}

NTSTATUS TestDriverEntry(kernel::DriverObject* driver);

}  // namespace kv::test
