// The entry point on POSIX systems: the arguments are bytes already.
#include "check_main.h"

#include <csignal>

int main(int argc, char** argv) {
    // Past a file size limit (ulimit -f) a write fails with EFBIG, which
    // the fill, the backup and the reports handle, instead of the signal
    // killing the program with the user's sectors still overwritten.
    std::signal(SIGXFSZ, SIG_IGN);
    return check_main(argc, argv);
}
