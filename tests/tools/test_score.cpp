#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tools/score.h"

namespace pluck {
namespace {

struct Expected {
    int64_t time_ms;
    ScoreAction action;
};

void expect_events(const ScoreParse& parse, const std::vector<Expected>& expected) {
    ASSERT_EQ(parse.error_line, 0) << parse.error;
    ASSERT_EQ(parse.events.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(parse.events[i].time_ms, expected[i].time_ms) << i;
        EXPECT_EQ(parse.events[i].action, expected[i].action) << i;
    }
}

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
    expect_events(parse_score(text), {
                                         {0, ScoreAction::key_z},
                                         {10, ScoreAction::key_x},
                                         {10, ScoreAction::key_c},
                                         {10, ScoreAction::key_v},
                                         {20, ScoreAction::key_b},
                                         {20, ScoreAction::key_n},
                                         {20, ScoreAction::key_m},
                                         {20, ScoreAction::key_k},
                                         {30, ScoreAction::space_down},
                                         {max_score_time_ms, ScoreAction::space_up},
                                     });
}

TEST(Score, ActionsMapToTheKeyTable) {
    const std::string letters = "zxcvbnmk";
    for (size_t k = 0; k < letters.size(); ++k) {
        const ScoreParse parse = parse_score("5 " + letters.substr(k, 1) + "\n");
        ASSERT_EQ(parse.events.size(), 1u);
        EXPECT_EQ(static_cast<size_t>(parse.events[0].action), k);
        EXPECT_TRUE(is_note_key(parse.events[0].action));
        EXPECT_EQ(score_action_name(parse.events[0].action), letters.substr(k, 1));
    }
    EXPECT_FALSE(is_note_key(ScoreAction::space_down));
    EXPECT_FALSE(is_note_key(ScoreAction::space_up));
}

TEST(Score, EmptyAndCommentOnlyTextsHaveNoEvents) {
    expect_events(parse_score(""), {});
    expect_events(parse_score("# nothing\n\n  \r\n"), {});
}

struct BadLine {
    const char* text;
    int64_t line;
    const char* says;
};

// The first bad line is reported, counted from 1 with blank and comment
// lines included, and says what is wrong with it.
TEST(Score, ReportsTheFirstBadLineAndWhy) {
    const BadLine cases[] = {
        {"0 q\n", 1, "unknown action \"q\""},
        {"0 Z\n", 1, "unknown action \"Z\""},
        {"0 space\n", 1, "unknown action \"space\""},
        {"# c\n\n0 v\n10 spacedown\n", 4, "unknown action"},
        {"0 v\n10\n", 2, "missing action"},
        {"0 v\n10   \r\n", 2, "missing action"},
        {"v 10\n", 1, "bad time \"v\""},
        {"-5 v\n", 1, "bad time \"-5\""},
        {"+5 v\n", 1, "bad time \"+5\""},
        {"1.5 v\n", 1, "bad time \"1.5\""},
        {"1e3 v\n", 1, "bad time \"1e3\""},
        {"0x10 v\n", 1, "bad time \"0x10\""},
        {"2147483648 v\n", 1, "too late"},
        {"99999999999999999999999999 v\n", 1, "too late"},
        {"0 v\n100 z\n99 x\n", 3, "time 99 is earlier than the event before it (100)"},
        {"0 v\n100 z\n# gap\n50 x\n", 4, "times must not decrease"},
        {"0 v x\n", 1, "unexpected \"x\" after the action"},
        {"0 v # note\n", 1, "unexpected \"# note\""},
        {"0 v\r\r\n", 1, "unknown action \"v\\x0d\""},
        {"0\xC2\xA0v\n", 1, "bad time \"0\\xc2\\xa0v\""},
        {"10 v\n5 z\n3 q\n", 2, "earlier"},
    };
    for (const BadLine& c : cases) {
        const ScoreParse parse = parse_score(c.text);
        EXPECT_EQ(parse.error_line, c.line) << c.text;
        EXPECT_NE(parse.error.find(c.says), std::string::npos) << c.text << " -> " << parse.error;
    }
}

// A message about a binary file stays one short, printable line.
TEST(Score, QuotesBadBytesEscapedAndShort) {
    std::string junk = "0 ";
    for (int i = 0; i < 300; ++i) {
        junk += static_cast<char>(i % 256);
    }
    junk.erase(std::find(junk.begin() + 2, junk.end(), '\n'), junk.end());
    junk += std::string(200, 'a');
    const ScoreParse parse = parse_score(junk);
    ASSERT_EQ(parse.error_line, 1);
    EXPECT_LT(parse.error.size(), 200u);
    for (char c : parse.error) {
        EXPECT_TRUE(c >= 0x20 && c < 0x7f) << static_cast<int>(c);
    }
}

}  // namespace
}  // namespace pluck
