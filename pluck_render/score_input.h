// Where a score is read from: a file, or standard input ("-"), read as its
// bytes arrive, so that a score piped in from a program that is still
// writing it is played as it comes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace pluck {

struct ScoreInput {
    std::string name;  // for messages: the path, or "(standard input)"
    int fd = -1;
    // Where reading began, when the score can be read again from there (a
    // regular file); -1 otherwise.
    int64_t start_offset = -1;
    // When a call returns false or -1: "cannot read NAME: reason".
    std::string error;
};

// Opens `path`, or standard input for "-".
bool open_score_input(ScoreInput& input, const std::string& path);

// Reads what is there, up to `size` bytes, waiting for at least one: the
// count, 0 at the end of the input, or -1 on an error. Also returns -1 with
// no error when a signal interrupted the wait, or a stop signal came.
int64_t read_score_input(ScoreInput& input, char* bytes, size_t size);

// Goes back to where reading began; false if the input cannot.
bool rewind_score_input(ScoreInput& input);

void close_score_input(ScoreInput& input);

}  // namespace pluck
