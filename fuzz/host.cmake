# The kvemu host's frame decoder (requests) and the client's (replies) over arbitrary streams.
kv_add_fuzzer(host_frame_fuzz ${CMAKE_CURRENT_LIST_DIR}/host_frame_fuzz.cpp kv_platform)
