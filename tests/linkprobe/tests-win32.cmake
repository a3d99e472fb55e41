# The Windows build of link-probe, which the Linux build's end-to-end tests
# run under Wine.
add_executable(link-probe ${CMAKE_CURRENT_LIST_DIR}/link-probe.cpp)
target_link_libraries(link-probe PRIVATE orvup_core)
