# libFuzzer targets: the serial line framing and the two firmware readers.
# Built only with clang (which carries libFuzzer), always with
# AddressSanitizer and UndefinedBehaviorSanitizer, and run by the CTest
# tests fuzz.NAME. Not with ORVUP_SANITIZE=thread, which cannot be combined
# with them.
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang" AND NOT ORVUP_SANITIZE STREQUAL "thread")
  # Each run's length: a short pass by default, so the whole test run stays
  # quick; a longer search is `cmake -DORVUP_FUZZ_SECONDS=600 ...`.
  set(ORVUP_FUZZ_SECONDS 8 CACHE STRING "How long each fuzz.NAME test searches, in seconds")
  set(fuzz_flags -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  # The code under test, compiled once for every target with the fuzzer's
  # coverage hooks.
  add_library(orvup_fuzz_code OBJECT
              ${CMAKE_SOURCE_DIR}/src/serial-frame.cpp ${CMAKE_SOURCE_DIR}/src/uf2.cpp ${CMAKE_SOURCE_DIR}/src/esp-image.cpp
              ${CMAKE_SOURCE_DIR}/src/sha256-posix.cpp ${CMAKE_SOURCE_DIR}/src/functions.cpp
              ${CMAKE_SOURCE_DIR}/src/functions-posix.cpp ${CMAKE_SOURCE_DIR}/src/timer.cpp
              ${CMAKE_CURRENT_SOURCE_DIR}/support/firmware_gen.cpp)
  target_include_directories(orvup_fuzz_code PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_CURRENT_SOURCE_DIR})
  target_compile_options(orvup_fuzz_code PRIVATE ${fuzz_flags})
  target_link_libraries(orvup_fuzz_code PRIVATE orvup_nettle)

  function(orvup_fuzz_target name max_len)
    add_executable(${name}_fuzz ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/${name}_fuzz.cpp $<TARGET_OBJECTS:orvup_fuzz_code>)
    target_include_directories(${name}_fuzz PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_CURRENT_SOURCE_DIR})
    target_compile_options(${name}_fuzz PRIVATE -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all
                                                -fno-omit-frame-pointer)
    target_link_options(${name}_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_libraries(${name}_fuzz PRIVATE orvup_nettle)
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
