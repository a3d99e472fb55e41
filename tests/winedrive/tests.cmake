# winedrive.exe: a test-only Windows helper that makes a drive letter come and
# go in the tests' running Wine prefix, as a USB drive does. Built here with
# the cross compiler, since the Windows build has no end-to-end tests.
if(ORVUP_WINDOWS_BUILD_DIR AND NOT ORVUP_E2E_PROGRAM)
  find_program(ORVUP_MINGW_CC NAMES x86_64-w64-mingw32-gcc-posix x86_64-w64-mingw32-gcc)
  if(ORVUP_MINGW_CC)
    set(WINEDRIVE_EXE ${CMAKE_CURRENT_BINARY_DIR}/winedrive.exe)
    add_custom_command(OUTPUT ${WINEDRIVE_EXE}
                       COMMAND ${ORVUP_MINGW_CC} -Wall -Wextra -Werror -O2 -static -o ${WINEDRIVE_EXE}
                               ${CMAKE_CURRENT_LIST_DIR}/winedrive.c
                       DEPENDS ${CMAKE_CURRENT_LIST_DIR}/winedrive.c VERBATIM)
    add_custom_target(winedrive ALL DEPENDS ${WINEDRIVE_EXE})
    add_dependencies(orvup_e2e winedrive)
    target_compile_definitions(orvup_e2e PRIVATE ORVUP_WINEDRIVE_EXE="${WINEDRIVE_EXE}")
  endif()
endif()
