// The program's own main (tools/sprayl-check/check_main.cpp), with its
// arguments in UTF-8. The system's entry point calls it: main on POSIX
// systems (main_posix.cpp), wmain on Windows (main_windows.cpp), which
// takes the command line as the system holds it.
#pragma once

int check_main(int argc, char** argv);
