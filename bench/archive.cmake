# Archive access against the 7z command line on the same archives (ratios printed).
# Run: <build>/bin/archive_bench [--runs N]; figures in docs/performance.md.
add_executable(archive_bench ${CMAKE_CURRENT_LIST_DIR}/archive_bench.cpp)
target_link_libraries(archive_bench PRIVATE kv_archive kv_service kv_testsupport)
target_compile_definitions(archive_bench PRIVATE KV_INSTALL_DIR="${KV_INSTALL_DIR}")
