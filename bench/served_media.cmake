# Archive media read through a drive (kvctl dev serve) against the same bytes as a mounted ISO,
# and the first read of an item against `7z e`, in one run (ratios printed).
# Run: <build>/bin/served_media_bench [--runs N] [--size-mib M]; figures in docs/performance.md.
if(TARGET kvemu AND TARGET kvctl)
  add_executable(served_media_bench ${CMAKE_CURRENT_LIST_DIR}/served_media_bench.cpp
                                    ${CMAKE_SOURCE_DIR}/tests/host/host_process.cpp)
  target_link_libraries(served_media_bench PRIVATE kv_archive kv_service kv_platform kv_testsupport)
  add_dependencies(served_media_bench kvemu kvctl)
endif()
