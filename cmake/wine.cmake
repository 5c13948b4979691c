# Whether the Windows build's tests can run under wine on this machine, and
# the wine prefix that they share.
#
# Wine runs 32-bit Windows programs as 32-bit x86 Linux processes, which
# some kernels do not run (virtual machines without IA32 emulation: "Exec
# format error"). There the programs are still built and packaged, and one
# test says why the rest are not run: skipped in the 32-bit build, failed
# where SPRAYL_WINE_REQUIRED is on (the 64-bit build, whose whole point is
# that its tests run).
option(SPRAYL_WINE_REQUIRED "Fail rather than skip the Windows tests where wine cannot start" OFF)
set(SPRAYL_WINE_RUNS OFF)
if(CMAKE_CROSSCOMPILING_EMULATOR)
  execute_process(COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} --version
                  RESULT_VARIABLE wine_result OUTPUT_VARIABLE wine_output
                  ERROR_VARIABLE wine_error TIMEOUT 60)
  if(wine_result EQUAL 0)
    set(SPRAYL_WINE_RUNS ON)
  else()
    string(STRIP "${wine_error}" wine_error)
    set(SPRAYL_WINE_FAILURE "${CMAKE_CROSSCOMPILING_EMULATOR} --version failed: ${wine_error}")
    message(STATUS "Windows tests under wine will not run: ${SPRAYL_WINE_FAILURE}")
  endif()
endif()

# The native build whose fake drive the fill tests under wine mount.
set(SPRAYL_NATIVE_BUILD ${PROJECT_SOURCE_DIR}/build/ci CACHE PATH
    "A native build (the ci preset's) with the fake drive for the fill tests under wine")

# One wine prefix for the build's tests, made by the first of them; its
# wineserver is kept running from that test to the last, so that each start
# of a program costs a fraction of a second, not a server's start-up. The
# server of the loader's own installation: another wine's would not speak
# its protocol.
set(SPRAYL_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine-prefix)
# Wine turns Unix file names into Windows ones through the locale's
# character set: the tests' names beyond ASCII need a UTF-8 locale, which a
# bare machine (no LANG) does not give.
set(SPRAYL_WINE_ENVIRONMENT "WINEDEBUG=-all" "WINEPREFIX=${SPRAYL_WINE_PREFIX}" "LC_ALL=C.UTF-8")
if(SPRAYL_WINE_RUNS)
  get_filename_component(wine_directory ${CMAKE_CROSSCOMPILING_EMULATOR} DIRECTORY)
  find_program(SPRAYL_WINESERVER NAMES wineserver HINTS ${wine_directory}
               NO_CMAKE_FIND_ROOT_PATH)
  if(NOT SPRAYL_WINESERVER)
    set(SPRAYL_WINE_RUNS OFF)
    set(SPRAYL_WINE_FAILURE "no wineserver beside ${CMAKE_CROSSCOMPILING_EMULATOR}")
  endif()
endif()

# Adds the fixture "wine" (the prefix made and its server kept running, then
# stopped), or the one test that says why wine cannot run here.
function(sprayl_add_wine_fixture)
  if(SPRAYL_WINE_RUNS)
    add_test(NAME wine_prefix
             COMMAND sh ${PROJECT_SOURCE_DIR}/tests/windows/wine_prefix.sh ${SPRAYL_WINESERVER}
                     ${CMAKE_CROSSCOMPILING_EMULATOR})
    set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wine TIMEOUT 300
                         ENVIRONMENT "${SPRAYL_WINE_ENVIRONMENT}")
    add_test(NAME wine_server_stop COMMAND ${SPRAYL_WINESERVER} -k)
    set_tests_properties(wine_server_stop PROPERTIES FIXTURES_CLEANUP wine
                         ENVIRONMENT "${SPRAYL_WINE_ENVIRONMENT}")
  elseif(SPRAYL_WINE_REQUIRED)
    add_test(NAME wine_unavailable
             COMMAND sh -c "echo 'wine cannot start here: ${SPRAYL_WINE_FAILURE}'; exit 1")
  else()
    add_test(NAME wine_unavailable
             COMMAND sh -c "echo 'not run: wine cannot start here: ${SPRAYL_WINE_FAILURE}'; exit 77")
    set_tests_properties(wine_unavailable PROPERTIES SKIP_RETURN_CODE 77)
  endif()
endfunction()
