# Parsing a 99-track cue sheet and a 128 KiB media descriptor, against reading the same file.
# Run: <build>/bin/inspect_bench; figures in docs/performance.md.
if(TARGET kv_inspect)
  add_executable(inspect_bench ${CMAKE_CURRENT_LIST_DIR}/inspect_bench.cpp ${CMAKE_SOURCE_DIR}/tests/fixtures/descriptor_writers.cpp)
  target_link_libraries(inspect_bench PRIVATE kv_inspect benchmark::benchmark)
endif()
