// The console a program was started from, as both programs use it: its
// standard streams, its arguments' text, its width and the keys left in it.
#pragma once

namespace pluck {

// Opens the null device in place of any of standard input, output and error
// that is closed, so that no file the program opens later (a sound
// library's configuration, a sound file) takes one of their numbers: a
// closed input reads as empty, a closed output goes nowhere, and no
// message ends up inside a sound file. First thing in the program. Where the system
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

// Discards the key presses that queued up in the console while the
// instrument played, so that the shell does not read them as typed text.
// Nothing when standard input is not a console, nor on Linux, where the
// terminal's own restore discards them.
void flush_console_input();

}  // namespace pluck
