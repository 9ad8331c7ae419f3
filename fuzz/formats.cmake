# The file-system probe and ImageSource::Open over arbitrary bytes.
kv_add_fuzzer(fs_probe_fuzz ${CMAKE_CURRENT_LIST_DIR}/fs_probe_fuzz.cpp kv_formats)
# The NRG chunk walk and open; raw reads over random track tables.
kv_add_fuzzer(nrg_chunks_fuzz ${CMAKE_CURRENT_LIST_DIR}/nrg_chunks_fuzz.cpp kv_formats)
kv_add_fuzzer(track_table_fuzz ${CMAKE_CURRENT_LIST_DIR}/track_table_fuzz.cpp kv_formats)
# Cue sheets and media descriptors (the manager's parsers).
if(TARGET kv_inspect)
  kv_add_fuzzer(descriptor_fuzz ${CMAKE_CURRENT_LIST_DIR}/descriptor_fuzz.cpp kv_inspect)
endif()
# DAA/GBI: the deflate-variant inflater against zlib, and the image open path with chunk decoding.
kv_add_fuzzer(daa_inflate_fuzz ${CMAKE_CURRENT_LIST_DIR}/daa_inflate_fuzz.cpp kv_formats)
kv_add_fuzzer(daa_open_fuzz ${CMAKE_CURRENT_LIST_DIR}/daa_open_fuzz.cpp kv_formats)
