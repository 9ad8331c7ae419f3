# Reads through the kvemu host socket and through kvexport against pread, and 2 KiB latency.
# Run: KV_BENCH_ISO_MIB=1024 <build>/bin/host_bench
if(TARGET kvemu AND TARGET kvexport)
  add_executable(host_bench ${CMAKE_CURRENT_LIST_DIR}/host_bench.cpp)
  target_link_libraries(host_bench PRIVATE kv_platform kv_common benchmark::benchmark)
  target_compile_definitions(host_bench PRIVATE KV_BENCH_BIN_DIR="${CMAKE_BINARY_DIR}/bin")
  add_dependencies(host_bench kvemu kvexport)
endif()
