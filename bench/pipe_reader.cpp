// Reads standard input in 1 MiB reads, like dd bs=1M, until the given byte
// count (default 4 GiB) or the end, and prints the bytes counted, the seconds
// and GB/s. The clock starts when the first read returns, so that the
// writer's start-up (wine's above all) is not counted.
#include "monotonic_clock.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

constexpr size_t read_size = 1 << 20;
alignas(64) unsigned char buffer[read_size];

ssize_t read_some() {
    for (;;) {
        ssize_t got = read(STDIN_FILENO, buffer, read_size);
        if (got >= 0 || errno != EINTR) {
            return got;
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    uint64_t limit = argc > 1 ? std::strtoull(argv[1], nullptr, 0) : uint64_t{1} << 32;
    if (read_some() <= 0) {
        std::fprintf(stderr, "pipe_reader: no input\n");
        return 1;
    }
    const double start = monotonic_seconds();
    uint64_t total = 0;
    while (total < limit) {
        ssize_t got = read_some();
        if (got <= 0) {
            break;
        }
        total += static_cast<uint64_t>(got);
    }
    const double seconds = monotonic_seconds() - start;
    std::printf("%llu %.6f %.3f\n", static_cast<unsigned long long>(total), seconds,
                seconds > 0 ? static_cast<double>(total) / seconds / 1e9 : 0.0);
    return 0;
}
