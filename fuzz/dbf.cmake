orvane_add_fuzzer(fuzz_dbf SOURCES ${CMAKE_CURRENT_LIST_DIR}/DbfFuzz.cpp LIBS orvane_import)
