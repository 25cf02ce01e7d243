orvane_add_fuzzer(fuzz_csv_line SOURCES ${CMAKE_CURRENT_LIST_DIR}/CsvLineFuzz.cpp LIBS orvane_import)
