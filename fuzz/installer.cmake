# The installer plug-in's texts: the string stack, the 512-byte text buffers, the drive count format.
if(TARGET kv_installer)
  kv_add_fuzzer(installer_texts_fuzz ${CMAKE_CURRENT_LIST_DIR}/installer_texts_fuzz.cpp kv_installer)
endif()
