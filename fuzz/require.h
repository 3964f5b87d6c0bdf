// A fuzz check: a broken one aborts, which libFuzzer reports with the input
// and the corpus replay test counts as a failure.
#pragma once

#include <cstdlib>

inline void require(bool holds) {
    if (!holds) {
        std::abort();
    }
}
