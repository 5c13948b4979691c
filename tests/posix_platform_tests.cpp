#include "platform.h"
#include "wide_arguments.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

HANDLE as_handle(int descriptor) {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(descriptor));
}

TEST(PosixPlatform, FileTypes) {
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    int sockets[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sockets), 0);
    char file_name[] = "/tmp/sprayl-file-type-XXXXXX";
    int file = mkstemp(file_name);
    ASSERT_GE(file, 0);
    unlink(file_name);
    int null_device = open("/dev/null", O_WRONLY);
    ASSERT_GE(null_device, 0);
    int closed = dup(file);
    close(closed);

    struct {
        const char* name;
        int descriptor;
        DWORD type;
    } const table[] = {
        {"pipe", pipe_ends[1], FILE_TYPE_PIPE}, {"socket", sockets[0], FILE_TYPE_PIPE},
        {"file", file, FILE_TYPE_DISK},         {"/dev/null", null_device, FILE_TYPE_CHAR},
        {"closed", closed, FILE_TYPE_UNKNOWN},
    };
    for (const auto& row : table) {
        EXPECT_EQ(GetFileType(as_handle(row.descriptor)), row.type) << row.name;
    }
    for (int descriptor : {pipe_ends[0], pipe_ends[1], sockets[0], sockets[1], file, null_device}) {
        close(descriptor);
    }
}

TEST(PosixPlatform, StandardHandles) {
    EXPECT_EQ(GetStdHandle(STD_OUTPUT_HANDLE), as_handle(1));
    EXPECT_EQ(GetStdHandle(STD_ERROR_HANDLE), as_handle(2));
    EXPECT_EQ(GetStdHandle(static_cast<DWORD>(-13)), INVALID_HANDLE_VALUE);

    int saved = dup(STDOUT_FILENO);
    ASSERT_GE(saved, 0);
    close(STDOUT_FILENO);
    HANDLE closed_output = GetStdHandle(STD_OUTPUT_HANDLE);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    EXPECT_EQ(closed_output, INVALID_HANDLE_VALUE);
}

TEST(PosixPlatform, WriteFileOutcomes) {
    signal(SIGPIPE, SIG_IGN);
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    std::vector<unsigned char> bytes(1 << 20, 0xA5);

    // A non-blocking pipe that is full takes nothing, and that is no failure.
    fcntl(pipe_ends[1], F_SETFL, O_NONBLOCK);
    DWORD written = 7;
    ASSERT_TRUE(WriteFile(as_handle(pipe_ends[1]), bytes.data(), static_cast<DWORD>(bytes.size()),
                          &written, nullptr));
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, bytes.size()); // the pipe holds less than 1 MiB
    ASSERT_TRUE(WriteFile(as_handle(pipe_ends[1]), bytes.data(), 16384, &written, nullptr));
    EXPECT_EQ(written, 0u);

    // Once the reader has gone, a write fails.
    close(pipe_ends[0]);
    written = 7;
    EXPECT_FALSE(WriteFile(as_handle(pipe_ends[1]), bytes.data(), 16384, &written, nullptr));
    EXPECT_EQ(written, 0u);
    close(pipe_ends[1]);

    // A handle that is no descriptor fails.
    EXPECT_FALSE(WriteFile(INVALID_HANDLE_VALUE, bytes.data(), 1, &written, nullptr));
}

TEST(PosixPlatform, EventsAreManualResetFlags) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(SetEvent(event));
    EXPECT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0); // stays signalled

    HANDLE other = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(other, nullptr);
    EXPECT_NE(other, event);
    EXPECT_EQ(WaitForSingleObject(other, 0), WAIT_TIMEOUT);

    EXPECT_NE(WaitForSingleObject(nullptr, 0), WAIT_OBJECT_0);
    EXPECT_FALSE(SetEvent(nullptr));
}

TEST(PosixPlatform, Clocks) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    uint64_t intervals = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    int64_t unix_seconds = static_cast<int64_t>(intervals / 10000000u) - 11644473600;
    EXPECT_LE(std::llabs(unix_seconds - static_cast<int64_t>(time(nullptr))), 2);

    // The tick count is the performance counter (nanoseconds) in milliseconds.
    LARGE_INTEGER before;
    LARGE_INTEGER after;
    QueryPerformanceCounter(&before);
    DWORD ticks = GetTickCount();
    QueryPerformanceCounter(&after);
    EXPECT_GE(ticks, static_cast<DWORD>(before.QuadPart / 1000000));
    EXPECT_LE(ticks, static_cast<DWORD>(after.QuadPart / 1000000));

    EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(getpid()));
    EXPECT_NE(GetCurrentThreadId(), 0u);
}

TEST(PosixPlatform, Strings) {
    EXPECT_EQ(lstrlenA(""), 0);
    EXPECT_EQ(lstrlenA("Error\n"), 6);
    struct {
        const wchar_t* a;
        const wchar_t* b;
        int sign;
    } const table[] = {{L"-h", L"-h", 0},   {L"-h", L"-H", 1},  {L"-H", L"-h", -1},
                       {L"-h", L"-hx", -1}, {L"-hx", L"-h", 1}, {L"", L"", 0},
                       {L"\x00e9", L"e", 1}};
    for (const auto& row : table) {
        int result = lstrcmpW(row.a, row.b);
        EXPECT_EQ((result > 0) - (result < 0), row.sign);
    }
}

TEST(WideArguments, Utf8Decoding) {
    struct {
        const char* name;
        std::string utf8;
        std::wstring wide;
    } const table[] = {
        {"ascii", "-h", L"-h"},
        {"two bytes", "caf\xC3\xA9", L"caf\x00E9"},
        {"three bytes", "\xE2\x82\xAC", L"\x20AC"},
        {"four bytes", "\xF0\x9F\x98\x80", std::wstring(1, static_cast<wchar_t>(0x1F600))},
        {"lone continuation", "a\x80z", L"a\xFFFDz"},
        {"truncated at the end", "a\xE2\x82", L"a\xFFFD"},
        {"truncated in the middle", "\xE2\x82z", L"\xFFFDz"},
        {"overlong", "\xC0\xAF", L"\xFFFD\xFFFD"},
        {"overlong three bytes", "\xE0\x80\xAF", L"\xFFFD"},
        {"surrogate", "\xED\xA0\x80", L"\xFFFD"},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80", L"\xFFFD"},
        {"invalid lead", "\xFF-h", L"\xFFFD-h"},
        {"empty", "", L""},
    };
    for (const auto& row : table) {
        std::vector<WCHAR> wide(row.utf8.size() + 1, L'#');
        size_t length = utf8_to_wide(row.utf8.c_str(), wide.data(), wide.size());
        EXPECT_EQ(std::wstring(wide.data(), length), row.wide) << row.name;
        EXPECT_EQ(wide[length], 0) << row.name;
    }
}

TEST(WideArguments, VectorInOneBlock) {
    char program[] = "sprayl";
    char help[] = "-h";
    char other[] = "\xC3\xA9t\xC3";
    char* argv[] = {program, help, other, nullptr};
    WCHAR** wide = build_wide_arguments(3, argv);
    ASSERT_NE(wide, nullptr);
    EXPECT_EQ(std::wstring(wide[0]), L"sprayl");
    EXPECT_EQ(std::wstring(wide[1]), L"-h");
    EXPECT_EQ(std::wstring(wide[2]), L"\x00E9t\xFFFD");
    EXPECT_EQ(wide[3], nullptr);
    free(wide);

    EXPECT_EQ(build_wide_arguments(-1, argv), nullptr);
}

} // namespace
