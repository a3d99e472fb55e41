# The version is set once, in project() at the top of CMakeLists.txt; the
# banner, the Windows version resource, the packages and the man page all
# take it from there. The banner shows MAJOR.MINOR with two minor digits
# ("v1.00" for 1.0.0), as orvup always has.
if(PROJECT_VERSION_MINOR GREATER 99)
  message(FATAL_ERROR "The banner shows the minor version in two digits: ${PROJECT_VERSION} does not fit")
endif()
if(PROJECT_VERSION_MINOR LESS 10)
  set(ORVUP_VERSION_BANNER "${PROJECT_VERSION_MAJOR}.0${PROJECT_VERSION_MINOR}")
else()
  set(ORVUP_VERSION_BANNER "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}")
endif()
# The Windows resource wants all four numbers; a part not given is 0.
foreach(part PATCH TWEAK)
  set(ORVUP_VERSION_${part} 0)
  if(NOT PROJECT_VERSION_${part} STREQUAL "")
    set(ORVUP_VERSION_${part} ${PROJECT_VERSION_${part}})
  endif()
endforeach()
set(ORVUP_VERSION_QUAD
    "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${ORVUP_VERSION_PATCH},${ORVUP_VERSION_TWEAK}")

configure_file(${CMAKE_CURRENT_LIST_DIR}/orvup-version.h.in ${CMAKE_BINARY_DIR}/generated/orvup-version.h @ONLY)
# Only the options unit and the version resource read it, so a new version
# rebuilds just those.
target_include_directories(orvup_core PRIVATE ${CMAKE_BINARY_DIR}/generated)
if(WIN32)
  target_include_directories(orvup PRIVATE ${CMAKE_BINARY_DIR}/generated)
endif()
