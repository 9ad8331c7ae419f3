# Tars compressed as one stream (seek points) against the compressors' own command lines.
# Run: <build>/bin/compressed_bench [--size-mib N] [--runs N]; figures in docs/performance.md.
add_executable(compressed_bench ${CMAKE_CURRENT_LIST_DIR}/compressed_bench.cpp)
target_link_libraries(compressed_bench PRIVATE kv_archive kv_service kv_testsupport)
target_compile_definitions(compressed_bench PRIVATE KV_INSTALL_DIR="${KV_INSTALL_DIR}")
