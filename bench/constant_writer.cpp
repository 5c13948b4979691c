// Writes one constant 16 KiB buffer to standard output for ever, in 16 KiB
// writes, as sprayl does with its blocks: the limit of the pipe itself.
// With the argument "default" the pipe keeps its size; otherwise it is
// enlarged as sprayl enlarges it.
#include "output_pipe.h"

#include <cstring>
#include <unistd.h>

namespace {

alignas(64) unsigned char block[16384];

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "default") != 0) {
        enlarge_output_pipe(STDOUT_FILENO);
    }
    std::memset(block, 0x5A, sizeof block);
    for (;;) {
        for (size_t offset = 0; offset < sizeof block;) {
            ssize_t written = write(STDOUT_FILENO, block + offset, sizeof block - offset);
            if (written <= 0) {
                return 0;
            }
            offset += static_cast<size_t>(written);
        }
    }
}
