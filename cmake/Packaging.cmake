# What the project installs beside the libraries and the tools (man pages, shell completion,
# the recall service's unit) and the Debian packages made from the install tree with CPack:
#   libtqblk1     the two shared libraries
#   libtqblk-dev  headers, the CMake package and the pkg-config file
#   tqblk-tools   tqblk-ctl, tqblk-recalld with its unit, tqblk-image, tqblk-make-image, and the driver
#                 emulator with its namespace script as development tools
# Packages are built with -DTQBLK_PACKAGE=ON -DCMAKE_INSTALL_PREFIX=/usr, then `cpack`.

set(TQBLK_MAN "AUTO" CACHE STRING "Build the man pages with scdoc: AUTO (when found), ON, OFF")
set_property(CACHE TQBLK_MAN PROPERTY STRINGS AUTO ON OFF)
set(TQBLK_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Where the recall service's unit goes, relative to the prefix")

set(TQBLK_DEB_TOOLS tqblk-tools)

# Installed programs find the library in the lib directory beside their bin directory.
function(tqblk_install_program target)
  if(TARGET ${target})
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
    install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  endif()
endfunction()

# The emulator and sample images belong to the tools, as development aids.
if(TQBLK_BUILD_TOOLS)
  tqblk_install_program(tqblk-make-image)
  if(TARGET tqblk-emulator)
    tqblk_install_program(tqblk-emulator)
    install(PROGRAMS ${PROJECT_SOURCE_DIR}/emulator/run-in-namespace.sh
      DESTINATION ${CMAKE_INSTALL_BINDIR} RENAME tqblk-run-in-namespace COMPONENT tools)
  endif()
endif()

# ---- the recall service's unit and its example settings
set(TQBLK_UNIT_SOURCE ${PROJECT_SOURCE_DIR}/tools/recalld/tqblk-recalld@.service)
if(TQBLK_BUILD_TOOLS AND EXISTS ${TQBLK_UNIT_SOURCE})
  # The unit names the program where this build installs it.
  file(READ ${TQBLK_UNIT_SOURCE} unit)
  string(REPLACE "ExecStart=/usr/bin/" "ExecStart=${CMAKE_INSTALL_FULL_BINDIR}/" unit "${unit}")
  string(REPLACE "@CMAKE_INSTALL_FULL_BINDIR@" "${CMAKE_INSTALL_FULL_BINDIR}" unit "${unit}")
  file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/tqblk-recalld@.service CONTENT "${unit}" @ONLY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${TQBLK_UNIT_SOURCE})
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tqblk-recalld@.service
    DESTINATION ${TQBLK_SYSTEMD_UNIT_DIR} COMPONENT tools)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/recalld/recalld.conf.example
    ${PROJECT_SOURCE_DIR}/tools/recalld/tqblk-recalld@.service.d-override.conf
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${TQBLK_DEB_TOOLS}/examples COMPONENT tools)
endif()

# ---- bash completion
if(TQBLK_BUILD_TOOLS)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/ctl/tqblk-ctl.bash-completion
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME tqblk-ctl
    COMPONENT tools)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/image/tqblk-image.bash-completion
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME tqblk-image
    COMPONENT tools)
endif()

# ---- man pages, from scdoc sources, compressed as Debian installs them
if(TQBLK_BUILD_TOOLS AND NOT TQBLK_MAN STREQUAL "OFF")
  find_program(TQBLK_SCDOC scdoc)
  find_program(TQBLK_GZIP gzip)
  if(NOT TQBLK_SCDOC OR NOT TQBLK_GZIP)
    if(TQBLK_MAN STREQUAL "ON")
      message(FATAL_ERROR "TQBLK_MAN=ON, but scdoc or gzip is missing (Debian: scdoc)")
    endif()
    message(STATUS "scdoc not found: the man pages are not built")
  else()
    # Each page, as NAME.SECTION: made from doc/man/NAME.SECTION.scd.
    set(TQBLK_MAN_PAGES)
    foreach(page tqblk-ctl.8 tqblk-recalld.8 tqblk-emulator.8 tqblk-make-image.1 tqblk-image.1)
      set(src ${PROJECT_SOURCE_DIR}/doc/man/${page}.scd)
      set(out ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.gz)
      add_custom_command(OUTPUT ${out}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
        COMMAND sh -c "\"$0\" <\"$1\" >\"$2\"" ${TQBLK_SCDOC} ${src} ${CMAKE_CURRENT_BINARY_DIR}/man/${page}
        COMMAND ${TQBLK_GZIP} -9nkf ${CMAKE_CURRENT_BINARY_DIR}/man/${page}
        DEPENDS ${src}
        COMMENT "Man page ${page}"
        VERBATIM)
      list(APPEND TQBLK_MAN_PAGES ${out})
      string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section ${page})
      install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT tools)
    endforeach()
    # The namespace script is described in the emulator's page.
    file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/man)
    file(CREATE_LINK tqblk-emulator.8.gz ${CMAKE_CURRENT_BINARY_DIR}/man/tqblk-run-in-namespace.8.gz
      SYMBOLIC)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/man/tqblk-run-in-namespace.8.gz
      DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT tools)
    add_custom_target(man ALL DEPENDS ${TQBLK_MAN_PAGES})
  endif()
endif()

# ---- the files every Debian package carries: copyright and changelog
set(TQBLK_DEB_RUNTIME libtqblk${PROJECT_VERSION_MAJOR})
# The packages' version; a rebuild of the same sources that is to upgrade installed packages
# gets a higher one (e.g. 1.0.0+1).
set(TQBLK_DEB_VERSION "${PROJECT_VERSION}" CACHE STRING "The Debian packages' version")
set(TQBLK_DEB_DEV libtqblk-dev)
set(TQBLK_PACKAGE_MAINTAINER
    "libtqblk maintainers <maintainers@users.noreply.c-seed-4c937ca6.example>"
    CACHE STRING "The Debian packages' maintainer")
if(TQBLK_PACKAGE)
  # string(TIMESTAMP) honours SOURCE_DATE_EPOCH, so reproducible builds keep their date.
  string(TIMESTAMP TQBLK_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in
    ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog @ONLY)
  execute_process(COMMAND gzip -9nc
    INPUT_FILE ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog
    OUTPUT_FILE ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.gz
    RESULT_VARIABLE gzip_status)
  if(NOT gzip_status EQUAL 0)
    message(FATAL_ERROR "gzip failed on the changelog")
  endif()
  foreach(component runtime dev tools)
    if(component STREQUAL "runtime")
      set(package ${TQBLK_DEB_RUNTIME})
    elseif(component STREQUAL "dev")
      set(package ${TQBLK_DEB_DEV})
    else()
      set(package ${TQBLK_DEB_TOOLS})
    endif()
    install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright
      ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.gz
      DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
  endforeach()
endif()

# ---- CPack: one Debian package per component
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "tqblk")
set(CPACK_PACKAGE_VERSION ${TQBLK_DEB_VERSION})
set(CPACK_PACKAGE_CONTACT "${TQBLK_PACKAGE_MAINTAINER}")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
if(TQBLK_BUILD_TOOLS)
  list(APPEND CPACK_COMPONENTS_ALL tools)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TQBLK_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tools' own libraries are found where they were built; the dependency on their package
# comes from the components below, not from dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    ${PROJECT_BINARY_DIR}/tqblk ${PROJECT_BINARY_DIR}/zyutils)
# Dependencies between the packages come from the components' own dependencies.
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${TQBLK_DEB_RUNTIME})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# An ldconfig trigger, with the mode Debian wants whatever the checkout's umask was.
# CPack adds postinst and postrm scripts calling ldconfig to a package of libraries unless the
# package brings its own; the trigger does that work, so the package names scripts of its own
# that do not exist, and carries none (cpack warns of the two missing files).
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/triggers
    ${CMAKE_CURRENT_BINARY_DIR}/debian/runtime-none/postinst
    ${CMAKE_CURRENT_BINARY_DIR}/debian/runtime-none/postrm)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
"backing stores and control of the tqblk block driver
libtqblk manages the backing stores of the tqblk block driver, a Linux block
driver that recalls missing extents on demand: directories of fixed-size
extent files beside a small config file. It also drives the driver through
its admin node, /dev/tqblk/admin.
.
This package holds the shared libraries libtqblk and libZyUtils.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${TQBLK_DEB_DEV})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# The public headers include Boost's.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libboost-dev")
# tqblk.pc is read by pkg-config, which CMake users do not need.
set(CPACK_DEBIAN_DEV_PACKAGE_SUGGESTS "pkg-config")
set(CPACK_COMPONENT_DEV_DESCRIPTION
"backing stores and control of the tqblk block driver - development files
libtqblk manages the backing stores of the tqblk block driver, a Linux block
driver that recalls missing extents on demand, and drives the driver through
its admin node.
.
This package holds the headers, the CMake package (find_package(tqblk)) and
the pkg-config file (tqblk).")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${TQBLK_DEB_TOOLS})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION admin)
# Maintainer scripts as dh_installsystemd writes them: systemd reloads its units on install,
# upgrade and removal; running recall services restart after an upgrade and stop on removal.
foreach(script postinst prerm postrm)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/tools.${script}
    ${CMAKE_CURRENT_BINARY_DIR}/debian/tools/${script} COPYONLY)
  list(APPEND CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_BINARY_DIR}/debian/tools/${script})
endforeach()
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
"tools and recall service for the tqblk block driver
tqblk-ctl creates, checks and removes the backing stores of the tqblk block
driver and creates, inspects and destroys its devices. tqblk-recalld serves a
device's recall requests from an image, another store or a remote source, as
a systemd service (tqblk-recalld@.service).
.
For development without the kernel driver, tqblk-emulator and
tqblk-run-in-namespace run a user-space stand-in of the driver in a private
mount namespace; tqblk-make-image makes sample images.")

include(CPack)
