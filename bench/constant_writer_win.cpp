// The constant writer as a 32-bit Windows program, linked like sprayl.exe
// (no C runtime, its own entry point): one constant 16 KiB buffer written
// to standard output for ever, in 16 KiB writes. bench/throughput builds it
// as a target of the Windows build and runs it under wine beside sprayl.exe.
#include <windows.h>

namespace {

unsigned char block[16384];

} // namespace

extern "C" void writer_start() {
    for (unsigned int i = 0; i < sizeof block; ++i) {
        block[i] = 0x5A;
    }
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    for (;;) {
        for (DWORD offset = 0; offset < sizeof block;) {
            DWORD written = 0;
            if (!WriteFile(output, block + offset, sizeof block - offset, &written, nullptr) ||
                written == 0) {
                ExitProcess(0);
            }
            offset += written;
        }
    }
}
