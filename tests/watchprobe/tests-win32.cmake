# watch-probe, a Windows-only test program: the end-to-end test in
# e2e/hotplug_wine_test.cpp runs it under Wine against the simulated board.
add_executable(watch-probe ${CMAKE_CURRENT_LIST_DIR}/watch-probe.cpp)
target_link_libraries(watch-probe PRIVATE orvup_core)
