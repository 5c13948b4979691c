// PRINTF_FORMAT(f, a) marks a function that takes a printf format as its
// parameter f and the values for it from parameter a on (0 for a va_list),
// so that the compiler checks each call as it checks printf's. MinGW's
// printf is Microsoft's or its own, as __MINGW_PRINTF_FORMAT says; a
// compiler without the attribute checks nothing.
#pragma once

#include <cstdio>

#if defined(__MINGW32__)
#define PRINTF_FORMAT(f, a) __attribute__((format(__MINGW_PRINTF_FORMAT, f, a)))
#elif defined(__GNUC__)
#define PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define PRINTF_FORMAT(f, a)
#endif
