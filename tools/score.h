// A score: what a player did and when, one event per line as
// `<time_ms> <action>`, for rendering the instrument offline.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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

struct ScoreParse {
    // In the order of the text; times never decrease.
    std::vector<ScoreEvent> events;
    // 0 when the whole text parsed; otherwise the 1-based number of the
    // first bad line, described by `error`, and `events` holds the events
    // of the lines before it.
    int64_t error_line = 0;
    std::string error;
};

// Parses a score. Blank lines, lines whose first non-blank character is `#`,
// blanks (spaces and tabs) around the fields and a CR at the end of a line
// are ignored, as is a UTF-8 byte order mark at the very start. The time is
// a non-negative decimal integer; the action is one of `z x c v b n m k`,
// `space-down` or `space-up`. Never fails on any input other than by
// reporting its first bad line.
ScoreParse parse_score(std::string_view text);

// The word a score uses for `action`.
std::string_view score_action_name(ScoreAction action);

// True for the eight note keys; their table index is the enum's value.
inline bool is_note_key(ScoreAction action) {
    return action <= ScoreAction::key_k;
}

}  // namespace pluck
