# The two kinds of test, as ctest labels (ctest -L unit, ctest -L program).
# A unit suite runs in the test's own process, on memory or a scripted
# system: each test on its own, and the suite again as a whole, in a random
# order (the seed is in the output), three times over, for no test may
# depend on the order the tests run in, nor on running once. A program
# suite starts programs or uses devices and mounts: each test runs once.
# Further arguments are test properties (TIMEOUT 300); SHUFFLED_FILTER
# FILTER, first, leaves tests out of the shuffled runs (a gtest filter).
include(GoogleTest)

function(sprayl_unit_suite target)
  set(filter "*")
  if(ARGV1 STREQUAL "SHUFFLED_FILTER")
    set(filter ${ARGV2})
    list(REMOVE_AT ARGN 0 1)
  endif()
  gtest_discover_tests(${target} PROPERTIES LABELS unit ${ARGN})
  add_test(NAME ${target}_shuffled
           COMMAND ${target} --gtest_shuffle --gtest_repeat=3 --gtest_filter=${filter})
  set_tests_properties(${target}_shuffled PROPERTIES LABELS unit ${ARGN})
endfunction()

function(sprayl_program_suite target)
  gtest_discover_tests(${target} PROPERTIES LABELS program ${ARGN})
endfunction()
