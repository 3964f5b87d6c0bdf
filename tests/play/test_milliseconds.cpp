#include <gtest/gtest.h>

#include <string>

#include "play/milliseconds.h"

namespace pluck {
namespace {

// Digits only, up to the largest allowed; a number too large is said to be
// that before anything after its digits. -1: not read ("whole" or "large"
// says why).
TEST(Milliseconds, DigitsOnlyUpToTheLargestAllowed) {
    const struct {
        const char* text;
        int64_t max, read;
        const char* why;
    } cases[] = {
        {"0", 0, 0, ""},
        {"743", 743, 743, ""},
        {"744", 743, -1, "large"},
        {"0000000000000000000000000743", 743, 743, ""},
        {"2147483647", 2147483647, 2147483647, ""},
        {"2147483648", 2147483647, -1, "large"},
        {"99999999999999999999999", 2147483647, -1, "large"},  // beyond 64 bits
        {"99999999999x", 2147483647, -1, "large"},
        {"1x", 2147483647, -1, "whole"},
        {"", 743, -1, "whole"},
        {"-1", 743, -1, "whole"},
        {"+1", 743, -1, "whole"},
        {" 1", 743, -1, "whole"},
        {"1 ", 743, -1, "whole"},
        {"1.5", 743, -1, "whole"},
        {"0x10", 743, -1, "whole"},
    };
    for (const auto& c : cases) {
        int64_t ms = -1;
        const MillisecondsRead read = read_milliseconds(c.text, c.max, ms);
        EXPECT_EQ(ms, c.read) << c.text;
        EXPECT_EQ(read == MillisecondsRead::ok          ? ""
                  : read == MillisecondsRead::too_large ? "large"
                                                        : "whole",
                  std::string(c.why))
            << c.text;
    }
}

}  // namespace
}  // namespace pluck
