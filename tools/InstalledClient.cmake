# Included by the tools, which use only the installed interface of the library: inside this
# tree they link the library target; built on their own they find an installed tree
# (-DCMAKE_PREFIX_PATH=<prefix>) like any client would.
if(NOT TARGET tqblk::tqblk)
  set(CMAKE_CXX_STANDARD 17)
  set(CMAKE_CXX_STANDARD_REQUIRED ON)
  include(${CMAKE_CURRENT_LIST_DIR}/../cmake/Warnings.cmake)
  find_package(tqblk 1 REQUIRED)
endif()
include(GNUInstallDirs)

# Installed programs find the library in the lib directory beside their bin directory.
function(tqblk_install_tool target)
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
endfunction()

find_package(CLI11 2 REQUIRED)

# The conventions both tools share (tools/common): strict numbers, CLI11 and --version with
# the library's project version.
function(tqblk_tool_conventions target)
  target_include_directories(${target} PRIVATE ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/common)
  target_compile_definitions(${target} PRIVATE TQBLK_TOOLS_VERSION="${tqblk_VERSION}")
  target_link_libraries(${target} PRIVATE CLI11::CLI11)
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
  target_include_directories(${target} PRIVATE ${dir} ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/common)
  target_link_libraries(${target} PRIVATE OpenSSL::Crypto PkgConfig::ZSTD CURL::libcurl)
endfunction()
