# Every target of the project compiles with these; warnings are errors.
add_compile_options(-Wall -Wextra -Wpedantic -Werror -Wno-missing-field-initializers)
