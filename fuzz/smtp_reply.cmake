# SMTP reply assembler and reply-code reader fed arbitrary chunks.
orvane_add_fuzzer(fuzz_smtp_reply SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/SmtpReplyFuzz.cpp LIBS orvane_net)
