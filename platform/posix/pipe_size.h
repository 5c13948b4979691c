// Asking for a larger pipe buffer (Linux): with a larger buffer each
// wake-up of the reader moves more bytes, with far fewer switches between
// writer and reader. Header-only, for sprayl's output and sprayl-check's
// input alike.
#pragma once

#include <fcntl.h>

// Asks for a buffer of bytes on descriptor. Best effort: a refusal (an old
// kernel, a lower system limit, not a pipe) changes nothing and is ignored.
inline void request_pipe_size(int descriptor, int bytes) {
#if defined(F_SETPIPE_SZ)
    fcntl(descriptor, F_SETPIPE_SZ, bytes);
#else
    (void)descriptor;
    (void)bytes;
#endif
}
