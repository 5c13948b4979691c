# The two kinds of test, as ctest labels (ctest -L unit, ctest -L program).
# A unit suite runs in the test's own process, on memory or a scripted
# system: each test on its own, and the suite again as a whole, in a random
# order (the seed is in the output), three times over, for no test may
# depend on the order the tests run in, nor on running once
# (SPRAYL_SHUFFLED_RUNS: 0 leaves the shuffled runs out, in builds whose
# point is another: the sanitizers, a 32-bit build under emulation). A program
# suite starts programs or uses devices and mounts: each test runs once.
# Further arguments are test properties (TIMEOUT 300); SHUFFLED_FILTER
# FILTER, first, leaves tests out of the shuffled runs (a gtest filter).
include(GoogleTest)
set(SPRAYL_SHUFFLED_RUNS 3 CACHE STRING
    "How often each unit suite runs again as a whole in a random order (0: not at all)")

function(sprayl_unit_suite target)
  set(filter "*")
  if(ARGV1 STREQUAL "SHUFFLED_FILTER")
    set(filter ${ARGV2})
    list(REMOVE_AT ARGN 0 1)
  endif()
  gtest_discover_tests(${target} PROPERTIES LABELS unit ${ARGN})
  if(SPRAYL_SHUFFLED_RUNS GREATER 0)
    add_test(NAME ${target}_shuffled
             COMMAND ${target} --gtest_shuffle --gtest_repeat=${SPRAYL_SHUFFLED_RUNS}
                     --gtest_filter=${filter})
    set_tests_properties(${target}_shuffled PROPERTIES LABELS unit ${ARGN})
  endif()
endfunction()

function(sprayl_program_suite target)
  gtest_discover_tests(${target} PROPERTIES LABELS program ${ARGN})
endfunction()

# Paths of the build that a test target's sources need (the programs they
# run, a script they read), as constants in a source of their own made in
# the build folder: sprayl_test_paths(target NAME VALUE ...) defines
# extern const char NAME[] = "VALUE". In the target's compile flags they
# would name the build folder, and ccache could not hand the target's
# objects to another checkout of the same sources.
function(sprayl_test_paths target)
  set(content "")
  set(pairs ${ARGN})
  while(pairs)
    list(POP_FRONT pairs name value)
    string(APPEND content "extern const char ${name}[] = \"${value}\";\n")
  endwhile()
  set(source ${CMAKE_CURRENT_BINARY_DIR}/${target}_paths.cpp)
  file(GENERATE OUTPUT ${source} CONTENT "${content}")
  target_sources(${target} PRIVATE ${source})
endfunction()
