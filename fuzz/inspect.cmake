# CD-TEXT files: validation with one-bit repair, and the texts spread over a layout's tracks.
if(TARGET kv_inspect)
  kv_add_fuzzer(cd_text_fuzz ${CMAKE_CURRENT_LIST_DIR}/cd_text_fuzz.cpp kv_inspect)
endif()
# A picked file identified by the manager under each extension.
if(TARGET kv_inspect)
  kv_add_fuzzer(identify_fuzz ${CMAKE_CURRENT_LIST_DIR}/identify_fuzz.cpp kv_inspect)
endif()
