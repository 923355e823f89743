# Package builds compile and link with Debian's hardening flags, as dpkg-buildflags gives them
# with every hardening feature on: fortified functions (_FORTIFY_SOURCE), the stack
# protector, format checks, read-only relocations bound at load time (relro, bind-now); PIE
# is the compiler's default. The build type keeps its own optimization and debug flags.
option(TQBLK_PACKAGE "Install the files Debian packages carry (copyright, changelog)" OFF)
option(TQBLK_DEB_HARDENING "Build with dpkg-buildflags' hardening flags (on in package builds)"
       ${TQBLK_PACKAGE})

if(TQBLK_DEB_HARDENING)
  find_program(TQBLK_DPKG_BUILDFLAGS dpkg-buildflags)
  if(NOT TQBLK_DPKG_BUILDFLAGS)
    message(FATAL_ERROR "TQBLK_DEB_HARDENING needs dpkg-buildflags (Debian: dpkg-dev)")
  endif()
  foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
    execute_process(
      COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
              ${TQBLK_DPKG_BUILDFLAGS} --get ${kind}
      OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "dpkg-buildflags --get ${kind} failed")
    endif()
    separate_arguments(flags UNIX_COMMAND "${flags}")
    list(FILTER flags EXCLUDE REGEX "^-(O.*|g.*|ffile-prefix-map=.*)$")
    if(kind STREQUAL "LDFLAGS")
      add_link_options(${flags})
    else()
      add_compile_options(${flags})
    endif()
    string(REPLACE ";" " " shown "${flags}")
    message(STATUS "Debian hardening ${kind}: ${shown}")
  endforeach()
endif()
