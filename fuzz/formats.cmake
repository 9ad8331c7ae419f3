# The file-system probe and ImageSource::Open over arbitrary bytes.
kv_add_fuzzer(fs_probe_fuzz ${CMAKE_CURRENT_LIST_DIR}/fs_probe_fuzz.cpp kv_formats)
# DAA/GBI: the deflate-variant inflater against zlib, and the image open path with chunk decoding.
kv_add_fuzzer(daa_inflate_fuzz ${CMAKE_CURRENT_LIST_DIR}/daa_inflate_fuzz.cpp kv_formats)
kv_add_fuzzer(daa_open_fuzz ${CMAKE_CURRENT_LIST_DIR}/daa_open_fuzz.cpp kv_formats)
