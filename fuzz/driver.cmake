# Control-code dispatch of the loaded driver.
kv_add_fuzzer(driver_dispatch_fuzz ${CMAKE_CURRENT_LIST_DIR}/driver_dispatch_fuzz.cpp kv_driver kv_kernel kv_formats)
