# Warnings as errors for the project's own code.
add_compile_options(-Wall -Wextra -Werror -Wno-multichar)
