// What pluck-render needs of the console it was started from.
#pragma once

namespace pluck {

// Opens the null device in place of any of standard input, output and error
// that is closed, so that no file the program opens takes one of their
// numbers (and its messages end up inside a sound file). Where the system
// would change the bytes written to them (line ends, a console's code
// page), it is set to pass the program's UTF-8 text as it is. True if
// standard input was closed.
bool fill_closed_standard_streams();

// Points `argv` at the program's arguments in UTF-8, whatever the system's
// code page (where they come as they are, it leaves them).
void use_utf8_arguments(int& argc, char**& argv);

// The width in columns of the terminal standard error shows on; 0 if it is
// not a terminal.
int stderr_terminal_columns();

}  // namespace pluck
