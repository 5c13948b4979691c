// The process frame on Windows: the program's own entry point, with no C
// runtime start-up code before it.
#include "platform.h"
#include "stream.h"

#include <shellapi.h>

extern "C" [[noreturn]] void process_start() {
    // Keep critical-error and fault dialogs away, on top of whatever mode
    // the process inherited.
    const UINT dialogs_off = SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX;
    UINT inherited = SetErrorMode(dialogs_off);
    SetErrorMode(inherited | dialogs_off);

    SetConsoleCtrlHandler(console_ctrl_handler, TRUE);

    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    int exit_code = -1;
    if (argv != nullptr) {
        exit_code = stream_main(argc, argv);
        LocalFree(argv);
    }
    ExitProcess(static_cast<UINT>(exit_code));
}
