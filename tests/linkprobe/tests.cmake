# link-probe, built for Linux here and for Windows by tests-win32.cmake; the
# end-to-end tests in e2e/link_test.cpp run it against the simulated board.
add_executable(link-probe ${CMAKE_CURRENT_LIST_DIR}/link-probe.cpp)
target_link_libraries(link-probe PRIVATE orvup_core)
if(NOT ORVUP_E2E_PROGRAM)
  add_dependencies(orvup_e2e link-probe)
endif()
