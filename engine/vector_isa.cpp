#include "engine/vector_isa.h"

#include <atomic>

namespace pluck {

namespace {

VectorIsa best_available() {
#if defined(__x86_64__) && defined(__GNUC__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) {
        return VectorIsa::avx512;
    }
    if (__builtin_cpu_supports("avx2")) {
        return VectorIsa::avx2;
    }
#endif
    return VectorIsa::baseline;
}

std::atomic<int32_t>& chosen() {
    static std::atomic<int32_t> isa{static_cast<int32_t>(best_available())};
    return isa;
}

}  // namespace

VectorIsa vector_isa() {
    return static_cast<VectorIsa>(chosen().load(std::memory_order_relaxed));
}

VectorIsa use_vector_isa(VectorIsa isa) {
    const int32_t best = static_cast<int32_t>(best_available());
    const int32_t wanted = static_cast<int32_t>(isa);
    chosen().store(wanted < best ? wanted : best, std::memory_order_relaxed);
    return vector_isa();
}

}  // namespace pluck
