// A whole number of milliseconds as a person writes one: in a score, or for
// an option of either program. Decimal digits only: no sign, blank, point or
// base prefix.
#pragma once

#include <cstdint>
#include <string_view>

namespace pluck {

enum class MillisecondsRead {
    ok,
    not_whole,  // empty, or something other than digits
    too_large,  // digits beyond `max_ms` (said first if they come before any other fault)
};

// Reads all of `text` into `ms` (0 to max_ms), or leaves `ms` alone and
// says what is wrong. Leading zeros are allowed, however many.
MillisecondsRead read_milliseconds(std::string_view text, int64_t max_ms, int64_t& ms);

}  // namespace pluck
