// A fuzz target's rule: when it does not hold, the input is a finding.
#pragma once

#include <cstdio>
#include <cstdlib>

inline void Check(bool holds, const char* rule) {
    if (holds)
        return;
    std::fprintf(stderr, "fuzz target broke its rule: %s\n", rule);
    std::abort();
}
