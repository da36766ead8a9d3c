// The fuzz targets' property check. A failed check names its line and condition, so that a
// crash report says which property broke; it aborts, which libFuzzer records as a crash.
#pragma once

#include <cstdio>
#include <cstdlib>

#define check(cond)                                                                  \
    do {                                                                             \
        if (!(cond)) {                                                               \
            std::fprintf(stderr, "check failed at line %d: %s\n", __LINE__, #cond); \
            std::abort();                                                            \
        }                                                                            \
    } while (0)
