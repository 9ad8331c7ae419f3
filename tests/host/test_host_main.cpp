// The kvemu host with the test driver.
#include "platform/kernel/host_server.h"
#include "tests/host/test_driver.h"

int main(int argc, char** argv) {
  return kv::kernel::host::HostMain(argc, argv, kv::test::TestDriverEntry);
}
