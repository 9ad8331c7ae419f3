# The service's reading of a command record written by any client.
if(TARGET kv_service_host)
  kv_add_fuzzer(service_command_fuzz ${CMAKE_CURRENT_LIST_DIR}/service_command_fuzz.cpp kv_service_host)
endif()
