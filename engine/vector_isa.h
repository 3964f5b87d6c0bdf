// Which vector instructions the block functions of the signal path use.
//
// Each of them is compiled three times: for AVX-512, for AVX2 and for plain
// x86-64 (the only one on other processors); the best the processor has is
// chosen at the first call. None of them enables fused multiply-add: every
// multiplication and addition stays separately rounded. All three give the
// same bits.
//
// The choice is written out by hand rather than left to GCC's
// target_clones, whose start-up resolver crashed programs built with
// ThreadSanitizer.
#pragma once

#include <cstdint>

namespace pluck {

enum class VectorIsa : int32_t {
    baseline = 0,
    avx2 = 1,
    avx512 = 2,
};

// The instructions in use.
VectorIsa vector_isa();

// For tests: uses `isa`, or the best the processor has if that is less,
// from the next call on. Returns what is now in use.
VectorIsa use_vector_isa(VectorIsa isa);

}  // namespace pluck

// Defines three functions NAME_avx512, NAME_avx2 and NAME_baseline with the
// given parameters, each calling the always-inline BODY with the given
// arguments, so that BODY is compiled for each instruction set.
#if defined(__x86_64__) && defined(__GNUC__)
#define PLUCK_VECTOR_VARIANTS(name, body, params, args)            \
    __attribute__((target("avx512f"))) void name##_avx512 params { \
        body args;                                                 \
    }                                                              \
    __attribute__((target("avx2"))) void name##_avx2 params {      \
        body args;                                                 \
    }                                                              \
    void name##_baseline params {                                  \
        body args;                                                 \
    }
#define PLUCK_CALL_VECTOR_VARIANT(name, args) \
    switch (vector_isa()) {                   \
        case VectorIsa::avx512:               \
            name##_avx512 args;               \
            break;                            \
        case VectorIsa::avx2:                 \
            name##_avx2 args;                 \
            break;                            \
        case VectorIsa::baseline:             \
            name##_baseline args;             \
            break;                            \
    }
#else
#define PLUCK_VECTOR_VARIANTS(name, body, params, args) \
    void name##_baseline params {                       \
        body args;                                      \
    }
#define PLUCK_CALL_VECTOR_VARIANT(name, args) name##_baseline args
#endif
