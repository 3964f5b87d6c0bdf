// The score reader. Which message each kind of bad line gets is tested
// through the program itself (test_pluck_render.py).
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "tools/score.h"

namespace pluck {
namespace {

// Reads `text` handed over `piece` bytes at a time (0: all at once) and
// writes down what came out: "time:action " per event, then "end" or
// "bad LINE".
std::string read_in_pieces(std::string_view text, size_t piece) {
    ScoreReader reader;
    ScoreEvent event;
    std::string out;
    ScoreRead read = ScoreRead::need_input;
    for (size_t at = 0; read != ScoreRead::bad_line && at < text.size();) {
        const size_t n = piece == 0 ? text.size() : std::min(piece, text.size() - at);
        std::string_view bytes = text.substr(at, n);
        at += n;
        while ((read = read_score_event(reader, bytes, event)) == ScoreRead::event) {
            out += std::to_string(event.time_ms) + ":" + std::to_string(static_cast<int>(event.action)) + " ";
        }
    }
    while (read != ScoreRead::bad_line && (read = finish_score(reader, event)) == ScoreRead::event) {
        out += std::to_string(event.time_ms) + ":" + std::to_string(static_cast<int>(event.action)) + " ";
    }
    return out + (read == ScoreRead::end ? "end" : "bad " + std::to_string(reader.error_line));
}

// Every action word, and the layout a hand-written or exported score may
// have: comments (one far longer than a line may be), blank lines, tabs,
// trailing blanks, CRLF, a byte order mark, leading zeros, equal times and
// no newline at the end; the same however the bytes arrive.
TEST(Score, ReadsEveryActionAndIgnoresLayoutInAnyPieces) {
    const std::string text =
        "\xEF\xBB\xBF# a phrase\r\n\n   \t\n0 z\r\n  # indented comment\n  #" + std::string(5000, '~') +
        "\n\t10\tx  \n10 c\n010   v\t\r\n20 b\n20 n\n20 m\n20 k\n30 space-down\n2147483647 space-up";
    // Note keys are their key-table index, 0-7, then space-down and space-up.
    const std::string expected = "0:0 10:1 10:2 10:3 20:4 20:5 20:6 20:7 30:8 2147483647:9 end";
    for (size_t piece : {0, 1, 2, 3, 7, 1024, 1025}) {
        EXPECT_EQ(read_in_pieces(text, piece), expected) << piece;
    }
    EXPECT_EQ(read_in_pieces("", 0), "end");
    EXPECT_EQ(read_in_pieces("# nothing\n\n  \r\n", 0), "end");
}

// What memory allows: a line of max_score_line_bytes is read, one byte more
// is a bad line (before its end arrives, or any more input); so is a NUL
// byte, even in a comment. Nothing after a bad line is read.
TEST(Score, LongLinesAndNulBytesAreBadAtOnce) {
    using namespace std::string_literals;
    const std::string longest = "0 v" + std::string(max_score_line_bytes - 3, ' ');
    const struct {
        std::string text;
        const char* read;
    } cases[] = {
        {"0 z\n" + longest + "\n2 x\n", "0:0 0:3 2:1 end"},
        {"0 z\n" + longest + " ", "0:0 bad 2"},
        {"0 z\n2 x" + std::string(1 << 20, ' ') + "\n3 c\n", "0:0 bad 2"},
        {"0 z\n\n# a\0b\n3 x\n"s, "0:0 bad 3"},
        {std::string(1 << 16, '\0'), "bad 1"},
        {"1 z\n5 x\n\n4 c\n6 v\n", "1:0 5:1 bad 4"},
    };
    for (const auto& c : cases) {
        for (size_t piece : {0, 1, 4096}) {
            EXPECT_EQ(read_in_pieces(c.text, piece), c.read)
                << c.text.substr(0, 20) << " in pieces of " << piece;
        }
    }
}

}  // namespace
}  // namespace pluck
