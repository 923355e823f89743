# Included by the tools, which use only the installed interface of the library: inside this
# tree they link the library target; built on their own they find an installed tree
# (-DCMAKE_PREFIX_PATH=<prefix>) like any client would. Beside it they use the descriptor
# toolkit tqsys (header-only, never installed): the tools are always built from this source
# tree, so built on their own they take it from its sys/ directory.
if(NOT TARGET tqblk::tqblk)
  set(CMAKE_CXX_STANDARD 17)
  set(CMAKE_CXX_STANDARD_REQUIRED ON)
  include(${CMAKE_CURRENT_LIST_DIR}/../cmake/Warnings.cmake)
  find_package(tqblk 1 REQUIRED)
endif()
if(NOT TARGET tqsys)
  add_subdirectory(${CMAKE_CURRENT_LIST_DIR}/../sys ${CMAKE_BINARY_DIR}/tqsys)
endif()
include(GNUInstallDirs)

# Installed programs find the library in the lib directory beside their bin directory.
function(tqblk_install_tool target)
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
endfunction()

find_package(CLI11 2 REQUIRED)

# The scope the functions below give their settings: a static library of a tool's sources
# hands them on to the program and the tests linked with it.
macro(tqblk_tool_scope target)
  get_target_property(tqblk_tool_type ${target} TYPE)
  if(tqblk_tool_type STREQUAL "STATIC_LIBRARY")
    set(scope PUBLIC)
  else()
    set(scope PRIVATE)
  endif()
endmacro()

# The conventions the tools share (tools/common): strict numbers, CLI11, tqsys and --version
# with the library's project version.
function(tqblk_tool_conventions target)
  tqblk_tool_scope(${target})
  target_include_directories(${target} ${scope} ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/common)
  target_compile_definitions(${target} ${scope} TQBLK_TOOLS_VERSION="${tqblk_VERSION}")
  target_link_libraries(${target} ${scope} CLI11::CLI11 tqsys)
endfunction()

# The published-image format (tools/common/image): digests, chunks, manifests and the image
# roots they are kept in (with the S3 credentials that reach them), compiled into each tool that reads or writes images.
function(tqblk_image_format target)
  find_package(OpenSSL 3 REQUIRED)
  find_package(CURL REQUIRED)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(ZSTD REQUIRED IMPORTED_TARGET libzstd)
  set(dir ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/common/image)
  set(common ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/common)
  target_sources(${target} PRIVATE ${dir}/Digest.cpp ${dir}/Chunk.cpp ${dir}/Manifest.cpp
    ${dir}/LocalObjects.cpp ${dir}/RemoteObjects.cpp ${common}/S3Credentials.cpp
    ${common}/S3Address.cpp ${common}/CurlPool.cpp ${common}/Retry.cpp ${common}/HttpJudge.cpp)
  tqblk_tool_scope(${target})
  target_include_directories(${target} ${scope} ${dir} ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/common)
  target_link_libraries(${target} ${scope} OpenSSL::Crypto PkgConfig::ZSTD CURL::libcurl tqsys)
endfunction()
