// The system layer's handles on POSIX systems: a descriptor plus one, so
// that 0 stays "not open".
#pragma once

#include <cstdint>

inline int descriptor(intptr_t handle) {
    return static_cast<int>(handle - 1);
}
