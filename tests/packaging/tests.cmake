# The files the Debian package ships beside the program: the udev rule (and
# its checker).
foreach(name udev_rules)
  add_test(NAME packaging.${name} COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/${name}_test.sh ${CMAKE_SOURCE_DIR})
endforeach()
set_tests_properties(packaging.udev_rules PROPERTIES LABELS packaging SKIP_RETURN_CODE 77 TIMEOUT 60)
