// console_ctrl_handler against a real KERNEL32 event: which control types
// stop the stream and which are handed on.
#include "platform.h"
#include "stream.h"

#include <gtest/gtest.h>

namespace {

struct HandlerCase {
    DWORD ctrl_type;
    BOOL handled;
};

const HandlerCase handler_table[] = {
    {CTRL_C_EVENT, TRUE}, {CTRL_BREAK_EVENT, TRUE},  {CTRL_CLOSE_EVENT, TRUE},    {3, FALSE},
    {4, FALSE},           {CTRL_LOGOFF_EVENT, TRUE}, {CTRL_SHUTDOWN_EVENT, TRUE}, {7, FALSE},
    {0x80000000u, FALSE}, {0xFFFFFFFFu, FALSE},
};

bool signalled(HANDLE event) {
    return WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

TEST(ConsoleCtrlHandler, SignalsTheStopEventExactlyForTheStoppingTypes) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    stop_event = event;
    for (const HandlerCase& c : handler_table) {
        SCOPED_TRACE(c.ctrl_type);
        ResetEvent(event);
        EXPECT_EQ(console_ctrl_handler(c.ctrl_type), c.handled);
        EXPECT_EQ(signalled(event), c.handled == TRUE);
    }
    stop_event = nullptr;
    CloseHandle(event);
}

TEST(ConsoleCtrlHandler, RepeatedRequestsLeaveTheEventSignalled) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    stop_event = event;
    EXPECT_EQ(console_ctrl_handler(CTRL_C_EVENT), TRUE);
    EXPECT_EQ(console_ctrl_handler(CTRL_BREAK_EVENT), TRUE);
    // Manual reset: polls do not consume the request.
    EXPECT_TRUE(signalled(event));
    EXPECT_TRUE(signalled(event));
    stop_event = nullptr;
    CloseHandle(event);
}

TEST(ConsoleCtrlHandler, ReportsStoppingTypesHandledBeforeTheEventExists) {
    stop_event = nullptr;
    for (const HandlerCase& c : handler_table) {
        SCOPED_TRACE(c.ctrl_type);
        EXPECT_EQ(console_ctrl_handler(c.ctrl_type), c.handled);
    }
}

} // namespace
