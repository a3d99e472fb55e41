# orvup-sim: the simulated I/O board as a program of its own, for demos and
# checks by hand. Built with the tests, never installed with orvup. The
# simulator and its tests are test tools: the sanitizer builds, which check
# the program, leave them out (the simulator itself still serves their unit
# tests).
if(ORVUP_SANITIZE)
  return()
endif()
add_executable(orvup-sim ${CMAKE_CURRENT_LIST_DIR}/orvup-sim.cpp)
target_link_libraries(orvup-sim PRIVATE orvup_testsupport)

# The simulator's own checks: the test process plays the program's side of
# the port, so they run once, not per target.
add_executable(orvup_simtest ${CMAKE_CURRENT_LIST_DIR}/sim_test.cpp)
target_link_libraries(orvup_simtest PRIVATE orvup_testsupport GTest::gtest_main)
gtest_discover_tests(orvup_simtest TEST_PREFIX "sim." DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                     PROPERTIES LABELS sim TIMEOUT 60)
