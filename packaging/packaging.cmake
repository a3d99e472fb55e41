# Release packages. `cmake --build build --target package` in the Linux build
# makes orvup_<version>_<arch>.deb and, from the mingw-w64 build named by
# ORVUP_WINDOWS_BUILD_DIR, orvup-<version>-win64.zip, both in the build folder.
# A small script does the work (packaging/make-packages.sh), so the packages
# can also be made and examined by hand.
if(WIN32)
  return()
endif()

add_custom_target(
  package
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/make-packages.sh ${PROJECT_VERSION} $<TARGET_FILE:orvup>
          ${CMAKE_BINARY_DIR} "${ORVUP_WINDOWS_BUILD_DIR}"
  DEPENDS orvup
  USES_TERMINAL
  VERBATIM)
