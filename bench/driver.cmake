# Reads through a drive's queue and worker against pread of the same ISO (ratios printed).
# Run: <build>/bin/driver_bench [--size-mib 256]; figures in docs/performance.md.
add_executable(driver_bench ${CMAKE_CURRENT_LIST_DIR}/driver_bench.cpp)
target_link_libraries(driver_bench PRIVATE kv_driver kv_kernel kv_formats benchmark::benchmark)
