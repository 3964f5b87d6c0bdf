#include "play/milliseconds.h"

#include <charconv>

namespace pluck {

MillisecondsRead read_milliseconds(std::string_view text, int64_t max_ms, int64_t& ms) {
    const char* const end = text.data() + text.size();
    uint64_t value = 0;
    // Unsigned: a sign is not a digit. The digits up to the first other
    // character are read whole, so a number already too large is said to be
    // that, whatever follows it: as a reader going left to right would.
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error == std::errc::result_out_of_range ||
        (error == std::errc{} && value > static_cast<uint64_t>(max_ms))) {
        return MillisecondsRead::too_large;
    }
    if (error != std::errc{} || stop != end) {
        return MillisecondsRead::not_whole;
    }
    ms = static_cast<int64_t>(value);
    return MillisecondsRead::ok;
}

}  // namespace pluck
