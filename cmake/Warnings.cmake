# The warning set of every build in this tree, the tools built on their own against an
# installed tree included. The project's own builds (scripts/test.sh, CI) make warnings
# errors with -DTQBLK_WERROR=ON; a user or a packager with another compiler gets the
# warnings without a failed build.
option(TQBLK_WERROR "Treat compiler warnings as errors" OFF)
add_compile_options(-Wall -Wextra -Wshadow -Wformat=2)
if(TQBLK_WERROR)
  add_compile_options(-Werror)
endif()
