#include "output_pipe.h"

#include <fcntl.h>
#include <sys/stat.h>

void enlarge_output_pipe(int descriptor) {
#if defined(F_SETPIPE_SZ)
    struct stat info {};
    if (fstat(descriptor, &info) == 0 && S_ISFIFO(info.st_mode)) {
        fcntl(descriptor, F_SETPIPE_SZ, 1 << 20);
    }
#else
    (void)descriptor;
#endif
}
