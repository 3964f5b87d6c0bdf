#include "tools/score.h"

#include <array>
#include <cstdio>

namespace pluck {

namespace {

constexpr std::array<std::string_view, 10> action_names = {
    "z", "x", "c", "v", "b", "n", "m", "k", "space-down", "space-up",
};

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
    int64_t value = 0;
    for (char c : word) {
        if (c < '0' || c > '9') {
            error = "bad time " + quoted(word) + ": expected a whole number of milliseconds, 0 or more";
            return false;
        }
        // Checked before each digit, so the value never overflows.
        value = value * 10 + (c - '0');
        if (value > max_score_time_ms) {
            error = "time " + quoted(word) + " is too late: the latest allowed is " +
                    std::to_string(max_score_time_ms) + " ms";
            return false;
        }
    }
    time_ms = value;
    return true;
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

}  // namespace

std::string_view score_action_name(ScoreAction action) {
    return action_names[static_cast<size_t>(action)];
}

ScoreParse parse_score(std::string_view text) {
    ScoreParse parse;
    constexpr std::string_view byte_order_mark = "\xEF\xBB\xBF";
    if (text.substr(0, byte_order_mark.size()) == byte_order_mark) {
        text.remove_prefix(byte_order_mark.size());
    }
    int64_t line_number = 0;
    while (!text.empty()) {
        ++line_number;
        const size_t newline = text.find('\n');
        std::string_view line = text.substr(0, newline);
        text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);

        // A CR before the newline (a file from Windows) and blanks before it.
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        line = trim_blanks(line);
        if (line.empty() || line.front() == '#') {
            continue;
        }

        ScoreEvent event;
        std::string error;
        if (parse_event(line, event, error) && !parse.events.empty() &&
            event.time_ms < parse.events.back().time_ms) {
            error = "time " + std::to_string(event.time_ms) + " is earlier than the event before it (" +
                    std::to_string(parse.events.back().time_ms) + "): times must not decrease";
        }
        if (!error.empty()) {
            parse.error_line = line_number;
            parse.error = error;
            return parse;
        }
        parse.events.push_back(event);
    }
    return parse;
}

}  // namespace pluck
