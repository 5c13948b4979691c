// The pipe that the stream goes into, on POSIX systems.
#pragma once

// Asks for a 1 MiB buffer when descriptor is a pipe; with a larger buffer
// each wake-up of the reader moves more bytes. A refusal (an old kernel, a
// lower system limit, not a pipe) changes nothing and is ignored.
void enlarge_output_pipe(int descriptor);
