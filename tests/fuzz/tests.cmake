# libFuzzer targets: the serial line framing and the two firmware readers.
# Built only with clang (which carries libFuzzer), always with
# AddressSanitizer and UndefinedBehaviorSanitizer, and run by the CTest
# tests fuzz.NAME. Not with ORVUP_SANITIZE=thread, which cannot be combined
# with them.
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang" AND NOT ORVUP_SANITIZE STREQUAL "thread")
  function(orvup_fuzz_target name seconds max_len)
    add_executable(${name}_fuzz ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/${name}_fuzz.cpp ${ARGN})
    target_include_directories(${name}_fuzz PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_CURRENT_SOURCE_DIR})
    target_compile_options(${name}_fuzz PRIVATE -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all
                                                -fno-omit-frame-pointer)
    target_link_options(${name}_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
    add_test(NAME fuzz.${name} COMMAND ${name}_fuzz -max_total_time=${seconds} -timeout=10 -rss_limit_mb=2048
                                       -max_len=${max_len} -print_final_stats=1)
    set_tests_properties(fuzz.${name} PROPERTIES LABELS "fuzz;slow" TIMEOUT 180)
  endfunction()

  orvup_fuzz_target(framing 20 4096 ${CMAKE_SOURCE_DIR}/src/serial-frame.cpp)
  # The readers: about 15 s each. Their inputs are mostly recipes for files
  # made by the test generators, so that the search reaches past the magic
  # numbers.
  orvup_fuzz_target(uf2 15 8192 ${CMAKE_SOURCE_DIR}/src/uf2.cpp ${CMAKE_CURRENT_SOURCE_DIR}/support/firmware_gen.cpp
                    ${CMAKE_SOURCE_DIR}/src/sha256-posix.cpp)
  # The reasons are formatted by functions' cut-to-fit helper.
  orvup_fuzz_target(esp_image 15 4096 ${CMAKE_SOURCE_DIR}/src/esp-image.cpp
                    ${CMAKE_CURRENT_SOURCE_DIR}/support/firmware_gen.cpp ${CMAKE_SOURCE_DIR}/src/sha256-posix.cpp
                    ${CMAKE_SOURCE_DIR}/src/functions.cpp ${CMAKE_SOURCE_DIR}/src/functions-posix.cpp
                    ${CMAKE_SOURCE_DIR}/src/timer.cpp)
  target_link_libraries(uf2_fuzz PRIVATE orvup_nettle)
  target_link_libraries(esp_image_fuzz PRIVATE orvup_nettle)
endif()
