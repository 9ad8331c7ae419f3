# Bridge image builds of synthetic trees; kvimage build against genisoimage (script).
# Run: <build>/bin/service_bench and bench/service_kvimage_vs_genisoimage.sh <build>/bin/kvimage [FOLDER];
# figures in docs/performance.md.
if(TARGET kv_service)
  add_executable(service_bench ${CMAKE_CURRENT_LIST_DIR}/service_bench.cpp)
  target_link_libraries(service_bench PRIVATE kv_service benchmark::benchmark)
endif()
