// The entry point on POSIX systems: the arguments are bytes already.
#include "check_main.h"

int main(int argc, char** argv) {
    return check_main(argc, argv);
}
