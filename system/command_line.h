// A program's command line in the GNU forms, read against the table of
// options the program knows: `--name value`, `--name=value`, `-n value`,
// `-nvalue`, a lone `-` or anything not starting with `-` as an operand, and
// `--` ending the options (everything after it is an operand). The reading
// only says what it found, in the order written; the program decides what
// each option does and when it ends.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace pluck {

struct CommandLineOption {
    int id;                 // the program's own number for it
    const char* long_name;  // without the leading "--"
    char short_name;        // 0: none
    bool takes_value;
};

struct CommandLineForms {
    std::span<const CommandLineOption> options;
    // A long option may be shortened to any beginning of its name that no
    // other option's name shares (`--out` for `--output`).
    bool long_prefixes = false;
    // Short options may be grouped after one `-` (`-ho FILE` is `-h -o
    // FILE`). Without, text after a short option that takes no value (`-hx`)
    // is an error.
    bool short_groups = false;
};

// One thing the command line holds.
struct CommandLineItem {
    const CommandLineOption* option = nullptr;  // null: an operand
    std::string_view text;                      // the option's value, or the operand
};

struct CommandLineRead {
    std::vector<CommandLineItem> items;  // in the order written, up to any error
    // The first thing that is wrong, as one line ("unknown option --x",
    // "option -o needs a value", "option --help takes no value"), the
    // option named as written; empty if there is none.
    std::string error;
};

// Reads argv[1..argc-1]. An option that takes a value takes the next
// argument whatever it looks like (`--record --help` records into a file
// named "--help").
CommandLineRead read_command_line(int argc, const char* const* argv, const CommandLineForms& forms);

// Says "PROGRAM: MESSAGE (see PROGRAM --help)" on standard error and returns
// exit_usage.
int say_usage_error(const char* program, const std::string& message);

// Ends a program's answer on standard output (--help, --version, a list):
// flushes and closes it, and returns exit_ok, or, when any of it could not
// be written (a full disk, a closed pipe), says "PROGRAM: cannot write
// (standard output): REASON" and returns exit_failure.
int end_standard_output(const char* program);

}  // namespace pluck
