// The program links no C runtime, yet the compiler emits calls to memset and
// memcpy for zeroing and copying records. These are the ones it gets.
#include <cstddef>

extern "C" {

void* memset(void* destination, int value, size_t count) {
    // volatile keeps the compiler from recognising the loop as memset and
    // turning it into a call to itself.
    volatile unsigned char* bytes = static_cast<unsigned char*>(destination);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<unsigned char>(value);
    }
    return destination;
}

void* memcpy(void* destination, const void* source, size_t count) {
    volatile unsigned char* to = static_cast<unsigned char*>(destination);
    const unsigned char* from = static_cast<const unsigned char*>(source);
    for (size_t i = 0; i < count; ++i) {
        to[i] = from[i];
    }
    return destination;
}
}
