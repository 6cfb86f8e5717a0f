// CHECK(cond): the fuzz targets' assertion. A failed check prints where it
// failed and aborts, which libFuzzer reports as a crash with its input.
#pragma once

#include <cstdio>
#include <cstdlib>

#define CHECK(cond)                                                                       \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)
