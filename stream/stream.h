// The stream driver: the program's main routine.
#pragma once

#include "gather_seed.h"
#include "generator.h"
#include "platform.h"

// Exit codes of stream_main.
constexpr int exit_output_ended = 0;
constexpr int exit_help_or_no_output = 1;
constexpr int exit_stopped = 130;

// Signalled by console_ctrl_handler to ask the stream to stop. Null until
// stream_main creates the event; stored once, before any output.
extern HANDLE volatile stop_event;

// Turns a console control event into a stop request: the process frame
// registers it with the platform (Windows) or calls it for a stop signal
// (POSIX).
BOOL WINAPI console_ctrl_handler(DWORD ctrl_type);

// The one block of output, reused for every block.
extern unsigned char output_buffer[block_bytes];

// Prints help, refuses an unusable output, or streams until the output ends
// or a stop is requested. Returns the process exit code.
int stream_main(int argc, WCHAR** argv);
