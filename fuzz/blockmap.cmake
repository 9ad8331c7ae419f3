# The ISZ and UIF openers and the block-map reads behind them.
kv_add_fuzzer(isz_open_fuzz ${CMAKE_CURRENT_LIST_DIR}/isz_open_fuzz.cpp kv_formats)
kv_add_fuzzer(uif_open_fuzz ${CMAKE_CURRENT_LIST_DIR}/uif_open_fuzz.cpp kv_formats)
