// kvemu: the virtual drive driver in its host process.
#include "driver/driver.h"
#include "platform/kernel/host_server.h"

int main(int argc, char** argv) {
  return kv::kernel::host::HostMain(argc, argv, kv::driver::DriverEntry);
}
