# Every target of the project compiles with these; warnings are errors.
add_compile_options(-Wall -Wextra -Wpedantic -Werror -Wno-missing-field-initializers)

# GCC 12 inlines the standard library's string and vector code at -O2 and
# above and then warns falsely under -Wrestrict and -Warray-bounds (GCC bugs
# 105651 and 105762), which stops optimised builds such as the benchmarks'.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  add_compile_options($<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-Wno-restrict>
                      $<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-Wno-array-bounds>)
endif()
