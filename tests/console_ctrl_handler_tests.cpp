#include "fake_platform.h"
#include "stream.h"

#include <gtest/gtest.h>

namespace {

TEST(ConsoleCtrlHandler, StoppingTypesSignalTheEvent) {
    struct {
        DWORD ctrl_type;
        BOOL handled;
    } const table[] = {{0, TRUE},  {1, TRUE},    {2, TRUE},           {3, FALSE},
                       {4, FALSE}, {5, TRUE},    {6, TRUE},           {7, FALSE},
                       {8, FALSE}, {100, FALSE}, {0x7FFFFFFF, FALSE}, {0xFFFFFFFF, FALSE}};
    for (const auto& row : table) {
        SCOPED_TRACE(testing::Message() << "control type " << row.ctrl_type);
        reset_fake_platform();
        stop_event = fake_event_handle();
        EXPECT_EQ(console_ctrl_handler(row.ctrl_type), row.handled);
        EXPECT_EQ(fake.event_signalled, row.handled == TRUE);

        // Before the event exists a stop request is handled but has no effect.
        reset_fake_platform();
        stop_event = nullptr;
        EXPECT_EQ(console_ctrl_handler(row.ctrl_type), row.handled);
        EXPECT_FALSE(fake.event_signalled);
    }
}

TEST(ConsoleCtrlHandler, RepeatedRequestsActAsOne) {
    reset_fake_platform();
    stop_event = fake_event_handle();
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(console_ctrl_handler(CTRL_C_EVENT), TRUE);
    }
    EXPECT_TRUE(fake.event_signalled);
    EXPECT_EQ(WaitForSingleObject(stop_event, 0), WAIT_OBJECT_0);
    stop_event = nullptr;
}

} // namespace
