// The check of the fuzz targets: a finding must stop the run even where assertions are
// compiled out.
#pragma once

#include <cstdio>
#include <cstdlib>

#define VH_FUZZ_CHECK(cond)                                                                        \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            fprintf(stderr, "check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__);              \
            abort();                                                                               \
        }                                                                                          \
    } while (0)
