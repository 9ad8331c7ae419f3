# The file-system probe and ImageSource::Open over arbitrary bytes.
kv_add_fuzzer(fs_probe_fuzz ${CMAKE_CURRENT_LIST_DIR}/fs_probe_fuzz.cpp kv_formats)
