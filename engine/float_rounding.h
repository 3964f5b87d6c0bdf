// Float32 arithmetic carried out in double and rounded back explicitly.
//
// A float32 sum, difference, product or quotient of two float32 values is
// the double result rounded once to float32 (double has more than twice
// float32's precision plus two bits, so rounding twice never differs from
// rounding once). Working that way keeps every operand a normal double.
// That matters because processors take a slow path, about a hundred times
// slower, when a float32 multiply or divide meets a subnormal number, and
// (on some) when a float32 addition of ordinary numbers comes out
// subnormal; converting between float32 and double, and float32 additions
// of numbers that are already subnormal, stay fast.
#pragma once

#include <bit>
#include <cstdint>

namespace pluck {

// v, with the compiler no longer knowing where it came from. The compiler
// folds a double operation on float32 values that is rounded to float32
// into the float32 operation (the same value, but the slow path); passing
// one operand through here keeps the operation in double. The empty asm
// claims to change v in its register and costs nothing.
[[gnu::always_inline]] inline double opaque(double v) {
#if defined(__x86_64__) && defined(__GNUC__)
    asm("" : "+x"(v));
#endif
    return v;
}

// The nearest float32 to v (ties to even), as a double. For loops the
// compiler turns into vector code, where v comes from double operands.
[[gnu::always_inline]] inline double to_float(double v) {
    return static_cast<double>(static_cast<float>(v));
}

// The same for scalar code, where v may come from float32 operands.
[[gnu::always_inline]] inline double rounded_to_float(double v) {
    return to_float(opaque(v));
}

// a * b in float32, by way of the exact double product.
[[gnu::always_inline]] inline float multiply_float(float a, float b) {
    return static_cast<float>(rounded_to_float(static_cast<double>(a) * static_cast<double>(b)));
}

// Is t / w, rounded to float32, the same as t * (1/w) rounded to float32 for
// every float32 t? For a power of two the product is exact. For odd w the
// exact quotient is never a float32 halfway point (its odd part would need
// more than 24 bits), and never closer to one than 2^-25 / w of its size,
// far more than the product's error of 2^-52. Even w that are not powers of
// two can land exactly on a halfway point among the subnormals; they divide.
constexpr bool reciprocal_is_exact(int32_t w) {
    return w > 0 && ((w & 1) != 0 || (w & (w - 1)) == 0);
}

// Division of float32 values by a whole number w, rounded to float32: by
// multiplying with the reciprocal where that gives the same bits (quicker),
// otherwise by dividing. `scale` is 1/w or w, opaque to the compiler.
struct ExactDivisor {
    bool by_reciprocal = false;
    double scale = 1.0;
};

[[gnu::always_inline]] inline ExactDivisor exact_divisor(int32_t w) {
    const bool by_reciprocal = reciprocal_is_exact(w);
    return {by_reciprocal, opaque(by_reciprocal ? 1.0 / static_cast<double>(w) : static_cast<double>(w))};
}

// q[i] = t[i] / w rounded to float32, for t of float32 values (as float or
// as double) and i < count. The branch is outside the loops, which vectorise.
template <typename Real>
[[gnu::always_inline]] inline void divide_rounded(const Real* __restrict t, float* __restrict q,
                                                  int32_t count, ExactDivisor divisor) {
    if (divisor.by_reciprocal) {
        for (int32_t i = 0; i < count; ++i) {
            q[i] = static_cast<float>(static_cast<double>(t[i]) * divisor.scale);
        }
    } else {
        for (int32_t i = 0; i < count; ++i) {
            q[i] = static_cast<float>(static_cast<double>(t[i]) / divisor.scale);
        }
    }
}

// How a block of float32 values sits against the subnormal range, which
// decides the fastest exact way to compute with them.
enum class Magnitudes {
    // Every value is zero or at least 2^-100, and so a multiple of 2^-123:
    // sums and differences of such values, and of those sums, are multiples
    // of 2^-123 too and never subnormal. Plain float32 arithmetic on them
    // meets a subnormal number only after a near cancellation in a product
    // and a sum, rarely enough not to matter.
    ordinary,
    // Every value is below 2^-130: sums of a few stay subnormal, and
    // float32 additions of subnormal numbers are fast; only multiplies and
    // divides need to go through double.
    subnormal,
    // Anything else: every operation through double.
    mixed,
};

constexpr uint32_t magnitude_bits(float v) {
    return std::bit_cast<uint32_t>(v) & 0x7fffffffu;
}

// The smallest nonzero and the largest magnitude in a block of values, as
// bit patterns (for floats of one sign their order is that of the values).
struct MagnitudeRange {
    // The smallest nonzero magnitude minus one; all ones while there is none.
    uint32_t below_smallest_nonzero = 0xffffffffu;
    uint32_t largest = 0;
};

// Takes v[0 ... count - 1] into `range`.
[[gnu::always_inline]] inline void widen_range(MagnitudeRange& range, const float* v, int32_t count) {
    uint32_t smallest = range.below_smallest_nonzero;
    uint32_t largest = range.largest;
    for (int32_t i = 0; i < count; ++i) {
        const uint32_t m = magnitude_bits(v[i]);
        // Zero wraps round to the largest pattern and so never counts.
        smallest = smallest < m - 1 ? smallest : m - 1;
        largest = largest > m ? largest : m;
    }
    range.below_smallest_nonzero = smallest;
    range.largest = largest;
}

constexpr Magnitudes classify(const MagnitudeRange& range) {
    if (range.below_smallest_nonzero >= magnitude_bits(0x1p-100f) - 1) {
        return Magnitudes::ordinary;
    }
    if (range.largest < magnitude_bits(0x1p-130f)) {
        return Magnitudes::subnormal;
    }
    return Magnitudes::mixed;
}

}  // namespace pluck
