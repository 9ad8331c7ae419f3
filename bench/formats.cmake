# ImageSource::ReadSectors against plain pread of the same ISO in the same run (ratios printed).
# Run: <build>/bin/image_source_bench [--size-mib 256] [benchmark options]; figures in docs/performance.md.
add_executable(image_source_bench ${CMAKE_CURRENT_LIST_DIR}/image_source_bench.cpp)
target_link_libraries(image_source_bench PRIVATE kv_formats benchmark::benchmark)
# Raw sectors built (EDC + P/Q parity) against memcpy, and raw reads through track tables
# against ReadSectors of the same file. Run: <build>/bin/raw_sector_bench.
add_executable(raw_sector_bench ${CMAKE_CURRENT_LIST_DIR}/raw_sector_bench.cpp)
target_link_libraries(raw_sector_bench PRIVATE kv_formats benchmark::benchmark)
# Cue sheet parsing (a 99-track sheet, a descriptor of almost 128 KiB). Run: <build>/bin/descriptor_bench.
if(TARGET kv_inspect)
  add_executable(descriptor_bench ${CMAKE_CURRENT_LIST_DIR}/descriptor_bench.cpp)
  target_link_libraries(descriptor_bench PRIVATE kv_inspect benchmark::benchmark)
endif()
# DAA/GBI chunk decoding against zlib and liblzma alone, and drive reads of a DAA image against the
# kvimage iso path (ratios printed). Run: <build>/bin/daa_bench [--size-mib 32]; figures in
# docs/performance.md.
add_executable(daa_bench ${CMAKE_CURRENT_LIST_DIR}/daa_bench.cpp)
target_link_libraries(daa_bench PRIVATE kv_driver kv_kernel kv_formats kv_testsupport benchmark::benchmark)
