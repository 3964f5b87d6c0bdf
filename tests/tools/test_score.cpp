// Bad lines are tested through the program itself (test_pluck_render_cli).
#include <gtest/gtest.h>

#include <string>

#include "tools/score.h"

namespace pluck {
namespace {

// Every action word, and the layout a hand-written or exported score may
// have: comments, blank lines, tabs, trailing blanks, CRLF, a byte order
// mark, leading zeros, equal times and no newline at the end.
TEST(Score, ReadsEveryActionAndIgnoresLayout) {
    const std::string text =
        "\xEF\xBB\xBF# a phrase\r\n"
        "\n"
        "   \t\n"
        "0 z\r\n"
        "  # indented comment\n"
        "\t10\tx  \n"
        "10 c\n"
        "010   v\t\r\n"
        "20 b\n20 n\n20 m\n20 k\n"
        "30 space-down\n"
        "2147483647 space-up";
    const ScoreParse parse = parse_score(text);
    ASSERT_EQ(parse.error_line, 0) << parse.error;
    std::string read;
    for (const ScoreEvent& e : parse.events) {
        read += std::to_string(e.time_ms) + ":" + std::to_string(static_cast<int>(e.action)) + " ";
    }
    // Note keys are their key-table index, 0-7, then space-down and space-up.
    EXPECT_EQ(read, "0:0 10:1 10:2 10:3 20:4 20:5 20:6 20:7 30:8 2147483647:9 ");
    for (const char* empty : {"", "# nothing\n\n  \r\n"}) {
        EXPECT_EQ(parse_score(empty).error_line, 0);
        EXPECT_TRUE(parse_score(empty).events.empty());
    }
}

}  // namespace
}  // namespace pluck
