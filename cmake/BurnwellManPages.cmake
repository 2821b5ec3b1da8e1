# Man pages: every docs/man/NAME.SECTION.scd becomes BURNWELL_MAN_DIR/NAME.SECTION at build time
# (scdoc, Debian package scdoc), in the target burnwell_man_pages that the default build makes.
# Without scdoc the pages are left out with a message; scripts/setup-debian.sh installs it, so
# CI always builds them. Not for the Windows build, which has no man.
set(BURNWELL_MAN_DIR ${PROJECT_BINARY_DIR}/man)
set(BURNWELL_MAN_PAGES "")

if(NOT WIN32)
  find_program(BURNWELL_SCDOC scdoc DOC "scdoc, which turns docs/man/*.scd into man pages")
  file(GLOB _burnwell_man_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/*.scd)
  if(NOT BURNWELL_SCDOC)
    message(STATUS "scdoc not found: the man pages are not built (install the Debian package scdoc)")
  elseif(_burnwell_man_sources)
    foreach(_source ${_burnwell_man_sources})
      get_filename_component(_page ${_source} NAME_WLE)
      add_custom_command(
        OUTPUT ${BURNWELL_MAN_DIR}/${_page}
        COMMAND ${CMAKE_COMMAND} -DSCDOC=${BURNWELL_SCDOC} -DINPUT=${_source} -DOUTPUT=${BURNWELL_MAN_DIR}/${_page}
                -P ${PROJECT_SOURCE_DIR}/cmake/RunScdoc.cmake
        DEPENDS ${_source} ${PROJECT_SOURCE_DIR}/cmake/RunScdoc.cmake
        COMMENT "Man page ${_page}"
        VERBATIM)
      list(APPEND BURNWELL_MAN_PAGES ${BURNWELL_MAN_DIR}/${_page})
    endforeach()
    add_custom_target(burnwell_man_pages ALL DEPENDS ${BURNWELL_MAN_PAGES})
  endif()
endif()
