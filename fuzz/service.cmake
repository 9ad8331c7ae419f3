# The bridge image builder: arbitrary item lists, then sector reads.
if(TARGET kv_service)
  kv_add_fuzzer(service_builder_fuzz ${CMAKE_CURRENT_SOURCE_DIR}/service_builder_fuzz.cpp kv_service kv_platform)
endif()
