#pragma once
// A broken property is a crash to libFuzzer: it keeps the input and reports the message.

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition, message)                                                             \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: check failed: %s (%s)\n", __FILE__, __LINE__, #condition, \
                         message);                                                                 \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)
