# MZP containers: a served medium against cat of its folder; kvimage pack against 7z a.
# Run: <build>/bin/mzp_bench [--size-mib N]; figures in docs/performance.md.
if(TARGET kv_service AND TARGET kv_mzp_pack)
  add_executable(mzp_bench ${CMAKE_CURRENT_LIST_DIR}/mzp_bench.cpp)
  target_link_libraries(mzp_bench PRIVATE kv_service kv_mzp_pack kv_platform benchmark::benchmark)
  if(TARGET kvimage)
    add_dependencies(mzp_bench kvimage)
  endif()
endif()
