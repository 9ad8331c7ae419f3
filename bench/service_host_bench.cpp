// A command through the service's command area (unmount of an empty drive: area taken, command
// written, worker woken, drive queried through the driver, reply read) against the bare cost of
// the same kind of cross-process wake-up: two auto-reset futex events bounced between processes.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "common/service_command.h"
#include "manager/service_client.h"
#include "platform/named_objects.h"
#include "platform/service_control.h"
#include "platform/wide_text.h"

namespace {

using namespace kv::platform;

void CommandRoundTrip(benchmark::State& state) {
  kv::manager::ServiceClient client;
  std::string error;
  if (!client.Open(&error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  const auto record = kv::manager::SimpleRecord(kv::kCommandUnmount, 0);
  for (auto _ : state) {
    kv::ServiceReply reply{};
    if (!client.Send(record, &reply, &error) || reply.Failed) {
      state.SkipWithError("the command failed");
      return;
    }
  }
}
BENCHMARK(CommandRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

void FutexPingPong(benchmark::State& state) {
  int e = 0;
  auto ping = NamedEvent::Create("Global\\BenchPing", false, false, &e);
  auto pong = NamedEvent::Create("Global\\BenchPong", false, false, &e);
  const pid_t child = fork();
  if (child == 0) {
    auto p = NamedEvent::Open("Global\\BenchPing", &e);
    auto q = NamedEvent::Open("Global\\BenchPong", &e);
    for (;;) {
      p->Wait(-1);
      q->Set();
    }
  }
  for (auto _ : state) {
    ping->Set();
    pong->Wait(-1);
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
}
BENCHMARK(FutexPingPong)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (geteuid() != 0) {
    std::fprintf(stderr, "service_host_bench: needs root (the services are machine-wide settings)\n");
    return 1;
  }
  char folder[] = "/tmp/kvbench.XXXXXX";
  if (!mkdtemp(folder)) return 1;
  const std::string root = std::string(folder) + "/root";
  setenv("KV_PLATFORM_ROOT", root.c_str(), 1);
  setenv("TMPDIR", folder, 1);
  ServiceConfig driver;
  driver.name = u"kvemu";
  driver.type = SERVICE_KERNEL_DRIVER;
  driver.start = SERVICE_BOOT_START;
  driver.imagePath = Utf8ToUtf16(std::string(KV_BENCH_BIN_DIR) + "/kvemu");
  CreateService(driver);
  const std::string install = std::string(KV_BENCH_BIN_DIR) + "/KVService -i >/dev/null";
  int status = std::system(install.c_str());
  std::vector<std::string> log;
  if (status != 0 || BootSystem(&log) != 0 || !WaitServiceState(u"Korvendrake Service", SERVICE_RUNNING, 60000)) {
    std::fprintf(stderr, "service_host_bench: the system did not start\n");
    ShutdownSystem(&log);
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  ShutdownSystem(&log);
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
  return 0;
}
