# Language files and the driver's packed registry value.
kv_add_fuzzer(language_file_fuzz ${CMAKE_CURRENT_LIST_DIR}/language_file_fuzz.cpp kv_manager)
kv_add_fuzzer(packed_registry_value_fuzz ${CMAKE_CURRENT_LIST_DIR}/packed_registry_value_fuzz.cpp kv_platform)
