# libFuzzer target for the serial line framing. Built only with clang (which
# carries libFuzzer), always with AddressSanitizer and UndefinedBehavior-
# Sanitizer, and run for about half a minute by the CTest test fuzz.framing.
# Not with ORVUP_SANITIZE=thread, which cannot be combined with them.
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang" AND NOT ORVUP_SANITIZE STREQUAL "thread")
  add_executable(framing_fuzz ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/framing_fuzz.cpp ${CMAKE_SOURCE_DIR}/src/serial-frame.cpp)
  target_include_directories(framing_fuzz PRIVATE ${CMAKE_SOURCE_DIR}/src)
  target_compile_options(framing_fuzz PRIVATE -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all
                                              -fno-omit-frame-pointer)
  target_link_options(framing_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
  add_test(NAME fuzz.framing COMMAND framing_fuzz -max_total_time=30 -timeout=10 -rss_limit_mb=2048
                                     -max_len=4096 -print_final_stats=1)
  set_tests_properties(fuzz.framing PROPERTIES LABELS "fuzz;slow" TIMEOUT 180)
endif()
