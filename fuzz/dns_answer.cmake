# DNS answer decoder: any datagram, including names, pointers and counts.
orvane_add_fuzzer(fuzz_dns_answer SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/DnsAnswerFuzz.cpp LIBS orvane_net)
