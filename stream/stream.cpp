#include "stream.h"
#include "sprayl_version.h"

HANDLE volatile stop_event = nullptr;
alignas(64) unsigned char output_buffer[block_bytes];

namespace {

const char banner[] =
    "sprayl v" SPRAYL_VERSION " [" SPRAYL_BUILD_DATE "], by the sprayl authors\n\n";
const char about[] = "Fast generator of pseudo-random bytes, using the \"xorwow\" method.\n";
const char verified[] = "Output has been verified to pass the Dieharder test suite.\n\n";
const char output_error[] = "Error: Failed to initialize output stream!\n";

void write_message(HANDLE error_handle, const char* text) {
    DWORD ignored = 0;
    WriteFile(error_handle, text, static_cast<DWORD>(lstrlenA(text)), &ignored, nullptr);
}

bool is_help_word(const WCHAR* argument) {
    return lstrcmpW(argument, L"-h") == 0 || lstrcmpW(argument, L"-?") == 0 ||
           lstrcmpW(argument, L"/?") == 0;
}

bool stop_requested() {
    return WaitForSingleObject(stop_event, 0) == WAIT_OBJECT_0;
}

} // namespace

int stream_main(int argc, WCHAR** argv) {
    stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE error_handle = GetStdHandle(STD_ERROR_HANDLE);
    HANDLE output_handle = GetStdHandle(STD_OUTPUT_HANDLE);

    if (argc >= 2 && is_help_word(argv[1])) {
        write_message(error_handle, banner);
        write_message(error_handle, about);
        write_message(error_handle, verified);
        return exit_help_or_no_output;
    }
    // A null handle is refused as well: it can never take a byte, and letting
    // it through would end the run with 0 as if the output had been written.
    if (output_handle == INVALID_HANDLE_VALUE || output_handle == nullptr) {
        write_message(error_handle, output_error);
        return exit_help_or_no_output;
    }
    const bool output_is_pipe = GetFileType(output_handle) == FILE_TYPE_PIPE;

    GeneratorState state;
    gather_seed(&state);

    uint8_t block_counter = 0;
    for (;;) {
        ++block_counter;
        if (block_counter == 0 && stop_requested()) {
            return exit_stopped;
        }
        fill_block(&state, output_buffer);

        DWORD zero_write_count = 0;
        for (DWORD offset = 0; offset < block_bytes;) {
            DWORD written = 0;
            if (!WriteFile(output_handle, output_buffer + offset, block_bytes - offset, &written,
                           nullptr)) {
                return exit_output_ended;
            }
            if (written == 0) {
                // Only a pipe may take nothing for a while; anything else
                // that takes nothing has ended.
                if (!output_is_pipe) {
                    return exit_output_ended;
                }
                ++zero_write_count;
                if (zero_write_count >= 2) {
                    if (stop_requested()) {
                        return exit_stopped;
                    }
                    Sleep(zero_write_count >> 8);
                }
            }
            offset += written;
        }
    }
}
