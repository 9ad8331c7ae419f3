# ISZ block decoding against zlib uncompress alone, AES-decrypted reads against plain ones, and a
# drive's sequential reads of an ISZ against kvimage iso (ratios printed).
# Run: <build>/bin/blockmap_bench [--size-mib 64]; figures in docs/performance.md.
add_executable(blockmap_bench ${CMAKE_CURRENT_LIST_DIR}/blockmap_bench.cpp)
target_link_libraries(blockmap_bench PRIVATE kv_driver kv_kernel kv_formats kv_testsupport benchmark::benchmark)
if(TARGET kvimage)
  add_dependencies(blockmap_bench kvimage)
endif()
