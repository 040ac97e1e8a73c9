#pragma once

#include <cstdio>
#include <cstdlib>

// Ends the run naming the property that broke, before libFuzzer's stack.
#define FUZZ_CHECK(condition, ...)                                                                         \
    ((condition) ? void() : (std::fprintf(stderr, "FUZZ_CHECK(%s) failed at line %d\n  ", #condition, __LINE__), \
                             std::fprintf(stderr, __VA_ARGS__), std::fputc('\n', stderr), std::abort()))
