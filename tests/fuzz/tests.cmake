# libFuzzer targets: the serial line framing and the two firmware readers.
# Built only with clang (which carries libFuzzer), always with
# AddressSanitizer and UndefinedBehaviorSanitizer, and run by the CTest
# tests fuzz.NAME. Not with ORVUP_SANITIZE=thread, which cannot be combined
# with them.
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang" AND NOT ORVUP_SANITIZE STREQUAL "thread")
  # Each run's length: a short pass by default, so the whole test run stays
  # quick; a longer search is `cmake -DORVUP_FUZZ_SECONDS=600 ...`.
  set(ORVUP_FUZZ_SECONDS 8 CACHE STRING "How long each fuzz.NAME test searches, in seconds")
  # The code under test is the ASan build's own library, compiled with the
  # fuzzer's coverage hooks (without a fuzzer's main, which the other
  # programs of the build do without), so nothing is compiled twice.
  target_compile_options(orvup_core PRIVATE -fsanitize=fuzzer-no-link)

  function(orvup_fuzz_target name max_len)
    add_executable(${name}_fuzz ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/${name}_fuzz.cpp)
    target_include_directories(${name}_fuzz PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_CURRENT_SOURCE_DIR})
    target_compile_options(${name}_fuzz PRIVATE -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all
                                                -fno-omit-frame-pointer)
    target_link_options(${name}_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_libraries(${name}_fuzz PRIVATE orvup_core orvup_testsupport)
    add_test(NAME fuzz.${name} COMMAND ${name}_fuzz -max_total_time=${ORVUP_FUZZ_SECONDS} -timeout=10
                                       -rss_limit_mb=2048 -max_len=${max_len} -print_final_stats=1)
    set_tests_properties(fuzz.${name} PROPERTIES LABELS "fuzz;slow" TIMEOUT 180)
  endfunction()

  orvup_fuzz_target(framing 4096)
  # The readers' inputs are mostly recipes for files made by the test
  # generators, so that the search reaches past the magic numbers.
  orvup_fuzz_target(uf2 8192)
  orvup_fuzz_target(esp_image 4096)
endif()
