orvane_add_fuzzer(fuzz_project_file SOURCES ${CMAKE_CURRENT_LIST_DIR}/ProjectFileFuzz.cpp LIBS orvane_core)
