// What pluck-render needs of the console it was started from.
#pragma once

namespace pluck {

// Opens the null device in place of any of standard input, output and error
// that is closed, so that no file the program opens takes one of their
// numbers (and its messages end up inside a sound file). True if standard
// input was closed.
bool fill_closed_standard_streams();

// The width in columns of the terminal standard error shows on; 0 if it is
// not a terminal.
int stderr_terminal_columns();

}  // namespace pluck
