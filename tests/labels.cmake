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
        # Started first, so their waits overlap the rest of the run.
        set_tests_properties("${test}" PROPERTIES COST 100)
        break()
      endif()
    endforeach()
    set_tests_properties("${test}" PROPERTIES LABELS "${test_labels}")
  endforeach()
endfunction()

orvup_label_tests("${orvup_unit_tests}" "unit")
orvup_label_tests("${orvup_native_tests}" "e2e;native")
orvup_label_tests("${orvup_wine_tests}" "e2e;wine")

# Tests that take turns on something Wine shares across the prefix (drive
# letters; the list tests' own prefix) hold a lock file while they run; CTest
# is told too, so it runs other tests meanwhile instead of filling its slots
# with tests that only wait for the lock.
foreach(test IN LISTS orvup_wine_tests)
  if(test MATCHES "^wine\\.IoUpdate\\.")
    set_tests_properties("${test}" PROPERTIES RESOURCE_LOCK wine-drives COST 50)
  elseif(test MATCHES "^wine\\.Systems/ListPorts\\.")
    set_tests_properties("${test}" PROPERTIES RESOURCE_LOCK wine-list-prefix)
  endif()
endforeach()
