#include "fake_platform.h"
#include "stream.h"

#include <algorithm>
#include <cstring>

FakePlatform fake;

namespace {
int event_object;
}

void reset_fake_platform() {
    fake = FakePlatform{};
}

HANDLE fake_event_handle() {
    return &event_object;
}

DWORD GetCurrentThreadId() {
    fake.calls.push_back("GetCurrentThreadId");
    return fake.thread_id;
}

DWORD GetCurrentProcessId() {
    fake.calls.push_back("GetCurrentProcessId");
    return fake.process_id;
}

namespace {
// The sample for the next reading of a clock read `reads` times before; the
// last sample repeats.
const ClockSample& next_sample(uint64_t* reads) {
    size_t last = fake.clock_samples.size() - 1;
    size_t index = *reads < last ? static_cast<size_t>(*reads) : last;
    ++*reads;
    fake.clock_samples_taken = std::max({fake.system_time_reads, fake.counter_reads,
                                         fake.tick_reads});
    return fake.clock_samples[index];
}
} // namespace

void GetSystemTimeAsFileTime(FILETIME* system_time) {
    fake.calls.push_back("GetSystemTimeAsFileTime");
    const ClockSample& sample = next_sample(&fake.system_time_reads);
    system_time->dwLowDateTime = sample.filetime_low;
    system_time->dwHighDateTime = sample.filetime_high;
}

BOOL QueryPerformanceCounter(LARGE_INTEGER* count) {
    fake.calls.push_back("QueryPerformanceCounter");
    const ClockSample& sample = next_sample(&fake.counter_reads);
    count->QuadPart =
        static_cast<int64_t>((static_cast<uint64_t>(sample.counter_high) << 32) | sample.counter_low);
    return TRUE;
}

DWORD GetTickCount() {
    fake.calls.push_back("GetTickCount");
    return next_sample(&fake.tick_reads).ticks;
}

HANDLE CreateEventW(void*, BOOL manual_reset, BOOL initial_state, const WCHAR* name) {
    fake.calls.push_back("CreateEventW");
    if (fake.event_creation_fails || !manual_reset || initial_state || name != nullptr) {
        return nullptr;
    }
    return fake_event_handle();
}

BOOL SetEvent(HANDLE event) {
    if (event != fake_event_handle()) {
        return FALSE;
    }
    fake.event_signalled = true;
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
    fake.calls.push_back("WaitForSingleObject");
    fake.polls_after_write.push_back(fake.output_write_calls);
    if (milliseconds != 0 || object != fake_event_handle()) {
        return WAIT_FAILED;
    }
    return fake.event_signalled ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

void Sleep(DWORD milliseconds) {
    fake.sleeps.push_back(milliseconds);
}

HANDLE GetStdHandle(DWORD which) {
    fake.calls.push_back(which == STD_OUTPUT_HANDLE ? "GetStdHandle(output)"
                                                    : "GetStdHandle(error)");
    if (which == STD_OUTPUT_HANDLE) {
        return fake.output_handle;
    }
    return which == STD_ERROR_HANDLE ? fake.error_handle : INVALID_HANDLE_VALUE;
}

DWORD GetFileType(HANDLE file) {
    fake.calls.push_back("GetFileType");
    return file == fake.output_handle ? fake.output_file_type : FILE_TYPE_UNKNOWN;
}

BOOL WriteFile(HANDLE file, const void* bytes, DWORD count, DWORD* written, void* overlapped) {
    const unsigned char* data = static_cast<const unsigned char*>(bytes);
    if (file == fake.error_handle && file != fake.output_handle) {
        fake.error_text.append(reinterpret_cast<const char*>(data), count);
        *written = count;
        return TRUE;
    }
    if (file != fake.output_handle || overlapped != nullptr) {
        return FALSE;
    }
    ++fake.output_write_calls;
    fake.write_lengths.push_back(count);
    if (fake.output_write_calls == fake.stop_at_write) {
        console_ctrl_handler(CTRL_C_EVENT);
    }
    // The calls so far are few; the index fits a size_t on any machine.
    size_t call = static_cast<size_t>(fake.output_write_calls);
    WriteStep step = call <= fake.writes.size() ? fake.writes[call - 1] : fake.after_writes;
    if (step.take < 0) {
        return FALSE;
    }
    DWORD taken = static_cast<DWORD>(std::min<int64_t>(step.take, count));
    fake.output.insert(fake.output.end(), data, data + taken);
    *written = taken;
    return TRUE;
}

int lstrlenA(const char* text) {
    return static_cast<int>(strlen(text));
}

int lstrcmpW(const WCHAR* a, const WCHAR* b) {
    int result = wcscmp(a, b);
    return result < 0 ? -1 : (result > 0 ? 1 : 0);
}
