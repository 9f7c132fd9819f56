// What the fuzz targets share: a check that stops the run with the failed
// condition and its line, and a reader of the input a byte at a time.
#ifndef FUZZ_CHECK_H
#define FUZZ_CHECK_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#define CHECK(cond)                                                            \
    do {                                                                       \
        if (!(cond)) {                                                         \
            fprintf(stdout, "check failed: %s (line %d)\n", #cond, __LINE__); \
            fflush(stdout);                                                    \
            abort();                                                           \
        }                                                                      \
    } while (0)

// The fuzzer's input, a byte at a time; 0 once it is used up.
struct FuzzInput {
    const uint8_t *p;
    size_t n;
    uint8_t byte() { return n ? (--n, *p++) : 0; }
};

#endif
