# One command's round trip through the service's command area against a bare futex-event
# ping-pong between two processes. Run (as root): <build>/bin/service_host_bench; figures in
# docs/performance.md.
if(TARGET kv_service_host AND TARGET kvemu)
  add_executable(service_host_bench ${CMAKE_CURRENT_LIST_DIR}/service_host_bench.cpp)
  target_link_libraries(service_host_bench PRIVATE kv_service_host benchmark::benchmark)
  target_compile_definitions(service_host_bench PRIVATE KV_BENCH_BIN_DIR="${CMAKE_BINARY_DIR}/bin")
  add_dependencies(service_host_bench kvemu KVService)
endif()
