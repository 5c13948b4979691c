#include "output_pipe.h"

#include "pipe_size.h"

#include <sys/stat.h>

void enlarge_output_pipe(int descriptor) {
    struct stat info {};
    if (fstat(descriptor, &info) == 0 && S_ISFIFO(info.st_mode)) {
        request_pipe_size(descriptor, 1 << 20);
    }
}
