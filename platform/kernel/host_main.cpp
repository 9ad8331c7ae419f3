// kvemu: the virtual drive driver in its host process.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "driver/driver.h"
#include "platform/kernel/host_server.h"

int main(int argc, char** argv) {
  // Test-only setting of the driver: the media channel's wait unit in milliseconds (normally one
  // second), so that tests of a silent service end quickly.
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--test-channel-wait-ms") == 0 && i + 1 < argc) {
      char* end = nullptr;
      const long ms = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || ms < 1 || ms > 1000) {
        std::fprintf(stderr, "kvemu: --test-channel-wait-ms needs 1 to 1000\n");
        return 2;
      }
      kv::driver::SetChannelWaitUnit(ms);
      continue;
    }
    rest.push_back(argv[i]);
  }
  rest.push_back(nullptr);
  return kv::kernel::host::HostMain(static_cast<int>(rest.size() - 1), rest.data(), kv::driver::DriverEntry);
}
