// The console control handler lives with stop_event, the one thing that it
// touches.
#include "stream.h"

// Runs on a platform thread (Windows) or inside a signal handler (POSIX):
// it may only read the handle and signal the event.
BOOL WINAPI console_ctrl_handler(DWORD ctrl_type) {
    switch (ctrl_type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT: {
        HANDLE event = stop_event;
        if (event != nullptr) {
            SetEvent(event);
        }
        return TRUE;
    }
    default:
        return FALSE;
    }
}
