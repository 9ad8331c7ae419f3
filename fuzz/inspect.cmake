# Cue sheets (with CD-TEXT files) and media descriptors.
kv_add_fuzzer(cue_sheet_fuzz ${CMAKE_CURRENT_LIST_DIR}/cue_sheet_fuzz.cpp kv_inspect)
kv_add_fuzzer(media_descriptor_fuzz ${CMAKE_CURRENT_LIST_DIR}/media_descriptor_fuzz.cpp kv_inspect)
