# MZP containers: the container open with chunk decoding, and the MARFS tree walk into a builder.
kv_add_fuzzer(mzp_open_fuzz ${CMAKE_CURRENT_LIST_DIR}/mzp_open_fuzz.cpp kv_formats)
if(TARGET kv_service)
  kv_add_fuzzer(marfs_tree_fuzz ${CMAKE_CURRENT_LIST_DIR}/marfs_tree_fuzz.cpp kv_service kv_platform)
endif()
