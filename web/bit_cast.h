// std::bit_cast for standard libraries that do not have it yet (the libc++
// that Emscripten 3.1 ships). Included before every source of the web build;
// it adds nothing where the library has its own.
#pragma once

#include <bit>

#if !defined(__cpp_lib_bit_cast)
namespace std {

template <class To, class From>
constexpr To bit_cast(const From& from) noexcept {
    static_assert(sizeof(To) == sizeof(From), "bit_cast needs types of one size");
    return __builtin_bit_cast(To, from);
}

}  // namespace std
#endif
