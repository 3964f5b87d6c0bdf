// A score: what a player did and when, one event per line as
// `<time_ms> <action>`, for rendering the instrument offline. Read as a
// stream, a line at a time, so that a score of any length (or one that never
// ends) is played in the same small memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace pluck {

// What happens at an event: a note key pressed (its index in the key table,
// 0-7), or Space going down or up.
enum class ScoreAction : int32_t {
    key_z,
    key_x,
    key_c,
    key_v,
    key_b,
    key_n,
    key_m,
    key_k,
    space_down,
    space_up,
};

struct ScoreEvent {
    // Milliseconds from the start of the render, 0 to max_score_time_ms.
    int64_t time_ms = 0;
    ScoreAction action = ScoreAction::key_z;
};

// Latest time a score may name: about 24.8 days, so that every time is also
// a valid reading of the instrument's 32-bit millisecond clock.
constexpr int64_t max_score_time_ms = 2147483647;

// Longest text of an event line, the only part of a line kept in memory: an
// event needs a few dozen bytes. What is around the text (blanks, the CR of
// a CRLF line end, a byte order mark) does not count, and a comment or a
// blank line may be of any length: its rest is skipped as it streams.
constexpr size_t max_score_line_bytes = 1024;

enum class ScoreRead {
    event,       // an event was read
    need_input,  // the bytes given are used up; give more, or finish
    end,         // (from finish_score only) the score is complete
    bad_line,    // `error_line` and `error` say what is wrong; reading stops
};

// Where a score being read has got to. Its memory never grows beyond one
// line of max_score_line_bytes.
struct ScoreReader {
    int64_t line_number = 1;  // of the line being read, counted from 1
    std::string line;         // its text so far, from the first non-blank byte
    bool in_comment = false;  // the line's text begins with `#`
    // Bytes came after max_score_line_bytes of text: blanks, then maybe a CR
    // (cr_past_longest), which only the newline may follow.
    bool past_longest = false;
    bool cr_past_longest = false;
    bool at_input_start = true;  // nothing read yet but part of a byte order mark
    bool read_any_event = false;
    int64_t last_time_ms = 0;  // of the latest event, once read_any_event
    int64_t error_line = 0;
    std::string error;  // one printable line
};

// Reads from `input` up to the end of the next event line and removes what
// it used from `input`. Blank lines, lines whose first non-blank character is
// `#`, blanks (spaces and tabs) around the fields and a CR at the end of a
// line are ignored, as is a UTF-8 byte order mark at the very start. The time
// is a non-negative decimal integer, never less than the time before it; the
// action is one of `z x c v b n m k`, `space-down` or `space-up`. A NUL byte
// anywhere, or an event line whose text (from its first to its last
// non-blank byte) is longer than max_score_line_bytes, is a bad line as soon
// as the byte that makes it so is read. The same bytes give the same events and
// errors however they are split into calls.
ScoreRead read_score_event(ScoreReader& reader, std::string_view& input, ScoreEvent& event);

// At the end of the input: reads a last line that has no newline. Returns
// event (then `end` on the next call), end or bad_line.
ScoreRead finish_score(ScoreReader& reader, ScoreEvent& event);

// The word a score uses for `action`.
std::string_view score_action_name(ScoreAction action);

// True for the eight note keys; their table index is the enum's value.
inline bool is_note_key(ScoreAction action) {
    return action <= ScoreAction::key_k;
}

}  // namespace pluck
