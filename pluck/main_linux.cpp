// pluck: a plucked-string instrument played from the terminal.
#include <cstdlib>

#include "keys/key_decoder.h"
#include "keys/terminal.h"
#include "pluck/main_loop_linux.h"
#include "pluck/program.h"
#include "system/console.h"
#include "system/stop_signals.h"

int main(int argc, char** argv) {
    // Before anything opens a file: a closed standard input must not become
    // whatever the sound library opens first.
    pluck::fill_closed_standard_streams();
    // SIGINT, SIGTERM and SIGHUP quit like Escape (the main loop sees
    // them); any other way out restores the terminal and removes the
    // recording's temporary file on the way.
    pluck::catch_quit_signals();
    pluck::Program program;
    pluck::start_program(program, argc, argv);
    if (program.exit_status >= 0) {
        return program.exit_status;
    }
    if (program.audio != nullptr) {
        pluck::KeyDecoder decoder;
        pluck::Terminal terminal;
        pluck::open_terminal(terminal, 0, decoder, std::getenv("TERM"));
        pluck::run_main_loop(terminal, decoder);
        // The terminal first: the queued sound still plays out after it.
        pluck::close_terminal(terminal);
        pluck::stop_audio(program.audio);
    }
    return pluck::end_program(program);
}
