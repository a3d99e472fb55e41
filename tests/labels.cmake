# Read by CTest after the tests that gtest_discover_tests found: gives each
# its labels, which select parts of the run (ctest -L / -LE):
#   unit     the library's unit tests (wine.unit: the Windows ones under Wine)
#   e2e      the built program run as a user runs it
#   native   ... the Linux program
#   wine     ... orvup.exe under Wine, and the Wine prefix they need
#   slow     a test that waits out a real time-out of 5 s or more by design;
#            a change-test loop leaves these out (ctest --preset fast)

# Waits that only a real-time run shows: each outcome once, the rest of
# their cases run at unit level on a fast clock (UpdateWaits, SendLoop).
set(ORVUP_SLOW_TESTS
    "StalledBoard"
    "NoVerdictWithinThirtySeconds"
    "NoDriveWithinThirtySeconds"
    "DriveThatStaysAfterTheCopy"
    "BoardThatRestartsWithoutItsPort"
    "ABoardThatStopsReading"
    "SilentBoardGivesNoResponseAfterFiveSeconds"
    "StartMustBeTheWholeLineInCapitals")

function(orvup_label_tests tests labels)
  foreach(test IN LISTS tests)
    set(test_labels ${labels})
    if(NOT labels MATCHES "e2e")
      set_tests_properties("${test}" PROPERTIES LABELS "${test_labels}")
      continue()
    endif()
    foreach(slow IN LISTS ORVUP_SLOW_TESTS)
      if(test MATCHES "\\.${slow}")
        list(APPEND test_labels slow)
        break()
      endif()
    endforeach()
    set_tests_properties("${test}" PROPERTIES LABELS "${test_labels}")
  endforeach()
endfunction()

orvup_label_tests("${orvup_unit_tests}" "unit")
orvup_label_tests("${orvup_native_tests}" "e2e;native")
orvup_label_tests("${orvup_wine_tests}" "e2e;wine")
