# Strict warnings for every target of the project; -Werror only when asked (CI asks).
function(serivane_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast -Wcast-align
    -Wunused -Woverloaded-virtual -Wconversion -Wsign-conversion -Wnull-dereference
    -Wdouble-promotion -Wformat=2 -Wimplicit-fallthrough)
  if(SERIVANE_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# Tests get the same warnings, less the ones that fight with gtest macros.
function(serivane_test_warnings target)
  serivane_warnings(${target})
  target_compile_options(${target} PRIVATE -Wno-conversion -Wno-sign-conversion -Wno-old-style-cast
    -Wno-null-dereference)
endfunction()
