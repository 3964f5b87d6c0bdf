#include "play/score.h"

#include <array>
#include <cstdio>
#include <utility>

#include "play/milliseconds.h"

namespace pluck {

namespace {

constexpr std::array<std::string_view, 10> action_names = {
    "z", "x", "c", "v", "b", "n", "m", "k", "space-down", "space-up",
};

constexpr std::string_view byte_order_mark = "\xEF\xBB\xBF";

// Longest piece of a bad line quoted back in a message.
constexpr size_t max_quoted_bytes = 40;

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trim_blanks(std::string_view s) {
    while (!s.empty() && is_blank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && is_blank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

// Splits off the first run of non-blank characters of `s` (which starts
// with one) and leaves the rest, blanks trimmed, in `s`.
std::string_view take_word(std::string_view& s) {
    size_t end = 0;
    while (end < s.size() && !is_blank(s[end])) {
        ++end;
    }
    const std::string_view word = s.substr(0, end);
    s = trim_blanks(s.substr(end));
    return word;
}

// `s` in double quotes, with control and non-ASCII bytes escaped so that a
// message about a binary or mis-encoded file stays one readable line.
std::string quoted(std::string_view s) {
    std::string out = "\"";
    for (size_t i = 0; i < s.size() && i < max_quoted_bytes; ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        }
    }
    if (s.size() > max_quoted_bytes) {
        out += "...";
    }
    out += '"';
    return out;
}

// Reads a time (a non-empty word); on failure says why in `error`.
bool parse_time(std::string_view word, int64_t& time_ms, std::string& error) {
    switch (read_milliseconds(word, max_score_time_ms, time_ms)) {
        case MillisecondsRead::ok:
            return true;
        case MillisecondsRead::not_whole:
            error = "bad time " + quoted(word) + ": expected a whole number of milliseconds, 0 or more";
            return false;
        case MillisecondsRead::too_large:
            error = "time " + quoted(word) + " is too late: the latest allowed is " +
                    std::to_string(max_score_time_ms) + " ms";
            return false;
    }
    return false;
}

bool parse_action(std::string_view word, ScoreAction& action, std::string& error) {
    if (word.empty()) {
        error = "missing action after the time: expected z x c v b n m k, space-down or space-up";
        return false;
    }
    for (size_t i = 0; i < action_names.size(); ++i) {
        if (word == action_names[i]) {
            action = static_cast<ScoreAction>(i);
            return true;
        }
    }
    error = "unknown action " + quoted(word) + ": expected z x c v b n m k, space-down or space-up";
    return false;
}

// One event line, blanks at both ends already trimmed.
bool parse_event(std::string_view line, ScoreEvent& event, std::string& error) {
    const std::string_view time_word = take_word(line);
    const std::string_view action_word = take_word(line);
    if (!parse_time(time_word, event.time_ms, error) || !parse_action(action_word, event.action, error)) {
        return false;
    }
    if (!line.empty()) {
        error = "unexpected " + quoted(line) + " after the action";
        return false;
    }
    return true;
}

bool fail(ScoreReader& reader, std::string error) {
    reader.error_line = reader.line_number;
    reader.error = std::move(error);
    return false;
}

// The words of a line that ended within the longest length: without a CR
// before the newline (a file from Windows) and blanks.
std::string_view line_words(std::string_view line) {
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    return trim_blanks(line);
}

bool has_nul(std::string_view bytes) {
    return bytes.find('\0') != std::string_view::npos;
}

constexpr const char* nul_error = "a NUL byte: a score is text, and this looks like binary data";

// Adds one byte of the current line (not its newline). Only the line's text
// counts towards the longest length: a byte order mark at the very start
// and blanks before the text are not kept, and past the longest length
// only what is not text may follow (blanks, and a CR before the newline).
// Once the text begins with `#` the rest is a comment.
bool take_byte(ScoreReader& reader, char c) {
    if (c == '\0') {
        return fail(reader, nul_error);
    }
    if (reader.at_input_start) {
        const size_t at = reader.line.size();
        reader.at_input_start = at + 1 < byte_order_mark.size() && c == byte_order_mark[at];
        if (c == byte_order_mark[at] && at + 1 == byte_order_mark.size()) {
            reader.line.clear();
            return true;
        }
    }
    if (reader.line.empty() && is_blank(c)) {
        return true;
    }
    if (reader.line.empty() && c == '#') {
        reader.in_comment = true;
        return true;
    }
    if (reader.line.size() < max_score_line_bytes) {
        reader.line += c;
        return true;
    }
    if (!reader.cr_past_longest && (is_blank(c) || c == '\r')) {
        reader.past_longest = true;
        reader.cr_past_longest = c == '\r';
        return true;
    }
    return fail(reader, "line longer than " + std::to_string(max_score_line_bytes) +
                            " bytes: an event line is `<time_ms> <action>`");
}

// Adds a piece of the current line. A comment may run on for ever: its rest
// is only looked at for the fault every byte is checked for.
bool take_piece(ScoreReader& reader, std::string_view piece) {
    for (size_t i = 0; i < piece.size(); ++i) {
        if (reader.in_comment) {
            return !has_nul(piece.substr(i)) || fail(reader, nul_error);
        }
        if (!take_byte(reader, piece[i])) {
            return false;
        }
    }
    return true;
}

// The current line is complete: an event, nothing (need_input) or a bad line.
ScoreRead end_line(ScoreReader& reader, ScoreEvent& event) {
    // Past the longest length only blanks came, and a CR at the very end.
    const std::string_view words = reader.past_longest ? trim_blanks(reader.line) : line_words(reader.line);
    ScoreRead read = ScoreRead::need_input;
    if (!reader.in_comment && !words.empty()) {
        std::string error;
        if (parse_event(words, event, error) && reader.read_any_event &&
            event.time_ms < reader.last_time_ms) {
            error = "time " + std::to_string(event.time_ms) + " is earlier than the event before it (" +
                    std::to_string(reader.last_time_ms) + "): times must not decrease";
        }
        if (!error.empty()) {
            fail(reader, error);
            return ScoreRead::bad_line;
        }
        reader.read_any_event = true;
        reader.last_time_ms = event.time_ms;
        read = ScoreRead::event;
    }
    reader.line.clear();
    reader.in_comment = false;
    reader.past_longest = false;
    reader.cr_past_longest = false;
    reader.at_input_start = false;
    ++reader.line_number;
    return read;
}

}  // namespace

std::string_view score_action_name(ScoreAction action) {
    return action_names[static_cast<size_t>(action)];
}

ScoreRead read_score_event(ScoreReader& reader, std::string_view& input, ScoreEvent& event) {
    while (reader.error_line == 0 && !input.empty()) {
        const size_t newline = input.find('\n');
        const std::string_view piece = input.substr(0, newline);
        input.remove_prefix(newline == std::string_view::npos ? input.size() : newline + 1);
        if (!take_piece(reader, piece)) {
            break;
        }
        if (newline == std::string_view::npos) {
            return ScoreRead::need_input;
        }
        if (const ScoreRead read = end_line(reader, event); read != ScoreRead::need_input) {
            return read;
        }
    }
    return reader.error_line != 0 ? ScoreRead::bad_line : ScoreRead::need_input;
}

ScoreRead finish_score(ScoreReader& reader, ScoreEvent& event) {
    if (reader.error_line != 0) {
        return ScoreRead::bad_line;
    }
    if (reader.line.empty() && !reader.in_comment) {
        return ScoreRead::end;
    }
    const ScoreRead read = end_line(reader, event);
    return read == ScoreRead::need_input ? ScoreRead::end : read;
}

}  // namespace pluck
