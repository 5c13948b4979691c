# The warnings that our own code is held to, as a target: every target of
# ours links sprayl_warnings; code that is not ours (GoogleTest) does not.
# Included by the top project and by the wine driver's.
option(SPRAYL_WERROR "Treat compiler warnings as errors" OFF)
add_library(sprayl_warnings INTERFACE)
target_compile_options(sprayl_warnings INTERFACE
  $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion>
  $<$<AND:$<COMPILE_LANGUAGE:CXX>,$<BOOL:${SPRAYL_WERROR}>>:-Werror>)
