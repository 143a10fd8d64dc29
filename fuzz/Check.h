#pragma once

#include <cstdio>
#include <cstdlib>

// A broken property ends the fuzz run like a crash, so libFuzzer keeps the input that broke it.
#define TAVO_FUZZ_CHECK(condition, what)                                                           \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "property broken: %s (%s:%d)\n", what, __FILE__, __LINE__);       \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)
