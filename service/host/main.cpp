// KVService: the archive image service program.
#include <signal.h>

#include <cstdio>

#include "platform/devio.h"
#include "service/host/kv_service.h"

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  kv::service::KVService service;
  if (service.ParseStandardArgs(argc, argv)) return service.exitCode();
  if (!service.StartService()) {
    std::fprintf(stderr,
                 "KVService runs under the service control manager (kvctl sc start \"Korvendrake Service\"); "
                 "error %d\n",
                 static_cast<int>(kv::platform::GetLastError()));
    return 1;
  }
  return service.exitCode();
}
