# Whether the Windows build's tests can run under wine on this machine.
# Wine runs 32-bit Windows programs as 32-bit x86 Linux processes, which
# some kernels do not run (virtual machines without IA32 emulation: "Exec
# format error"). There the programs are still built and packaged, and one
# skipped test says why the rest are not run.
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
    message(STATUS "Windows tests under wine will be skipped: ${SPRAYL_WINE_FAILURE}")
  endif()
endif()
