# Registry operations against bare SQLite doing the same work on the same file, and text lookup.
# Run: <build>/bin/config_bench; figures in docs/performance.md.
add_executable(config_bench ${CMAKE_CURRENT_LIST_DIR}/config_bench.cpp)
target_link_libraries(config_bench PRIVATE kv_manager benchmark::benchmark)
