// The entry point on Windows: the wide main, which takes the arguments as
// the system holds them and hands them on as UTF-8, so that every name
// reaches CreateFileW unchanged.
#include "check_main.h"

#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <vector>
#include <windows.h>

namespace {

// The most arguments taken, and the room for their UTF-8: a command line
// holds at most 32767 UTF-16 units, each at most three bytes of UTF-8.
constexpr int most_arguments = 16384;
constexpr size_t argument_bytes = 3 * 32768 + 1024;

} // namespace

int wmain(int argc, wchar_t** wargv) {
    _setmode(_fileno(stdin), _O_BINARY);
    std::vector<char> text(argument_bytes);
    std::vector<char*> pointers(most_arguments);
    size_t used = 0;
    int count = 0;
    for (; count < argc && count < most_arguments; ++count) {
        int length = WideCharToMultiByte(CP_UTF8, 0, wargv[count], -1, text.data() + used,
                                         static_cast<int>(text.size() - used), nullptr, nullptr);
        if (length <= 0) {
            std::fputs("sprayl-check: the command line is too long\n", stderr);
            return 2; // as for any command line that cannot be taken
        }
        pointers[static_cast<size_t>(count)] = text.data() + used;
        used += static_cast<size_t>(length);
    }
    return check_main(count, pointers.data());
}
