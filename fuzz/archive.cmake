# Format choice over arbitrary names and heads; arbitrary bytes opened and read through the codec library.
kv_add_fuzzer(archive_format_choice_fuzz ${CMAKE_CURRENT_LIST_DIR}/archive_format_choice_fuzz.cpp kv_archive)
kv_add_fuzzer(archive_open_fuzz ${CMAKE_CURRENT_LIST_DIR}/archive_open_fuzz.cpp kv_archive)
target_compile_definitions(archive_open_fuzz PRIVATE KV_INSTALL_DIR="${KV_INSTALL_DIR}")
kv_add_fuzzer(archive_seek_points_fuzz ${CMAKE_CURRENT_LIST_DIR}/archive_seek_points_fuzz.cpp kv_archive ZLIB::ZLIB)
