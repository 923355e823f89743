# The warning set of every build in this tree, the tools built on their own against an
# installed tree included. Warnings are errors.
add_compile_options(-Wall -Wextra -Werror -Wshadow -Wformat=2)
