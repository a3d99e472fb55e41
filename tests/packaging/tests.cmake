# The files the Debian package ships beside the program: the udev rule (and
# its checker), the bash completion, the maintainer scripts and the man page.
# Building and checking the packages themselves is tools/check-packages.sh.
# They hold no compiled code: the sanitizer builds leave them out.
if(ORVUP_SANITIZE)
  return()
endif()
foreach(name udev_rules completion maintainer_scripts)
  add_test(NAME packaging.${name} COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/${name}_test.sh ${CMAKE_SOURCE_DIR})
endforeach()
# The man page renders at 80 columns without a warning from groff.
add_test(NAME packaging.manpage
         COMMAND sh -c "command -v man >/dev/null || exit 77; out=$(MANWIDTH=80 man --warnings -l \"$0\" 2>&1 >/dev/null);
                        [ -z \"$out\" ] || { echo \"$out\"; exit 1; }"
                 ${CMAKE_SOURCE_DIR}/packaging/orvup.1)
set_tests_properties(packaging.udev_rules packaging.completion packaging.maintainer_scripts packaging.manpage
                     PROPERTIES LABELS packaging SKIP_RETURN_CODE 77 TIMEOUT 60)
