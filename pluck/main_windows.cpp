// pluck for Windows: a plucked-string instrument played from the keyboard.
#include <fcntl.h>
#include <io.h>

#include <atomic>

#include "keys/keyboard_windows.h"
#include "play/clock.h"
#include "pluck/main_loop_windows.h"
#include "pluck/program.h"
#include "system/console.h"
#include "system/stop_signals.h"

int main(int argc, char** argv) {
    // The same bytes as on Linux: no carriage returns added. A console
    // starts a new line at a line feed all the same. Names in the
    // arguments (a recording's, a device's) come in UTF-8.
    pluck::fill_closed_standard_streams();
    pluck::use_utf8_arguments(argc, argv);
    _setmode(_fileno(stdout), _O_BINARY);
    // Ctrl-C and closing the console only ask the loop to quit, so that the
    // queued sound plays out.
    const std::atomic<bool>& quit = pluck::catch_quit_signals();
    pluck::Program program;
    pluck::start_program(program, argc, argv);
    if (program.exit_status >= 0) {
        return program.exit_status;
    }
    if (program.audio != nullptr) {
        pluck::run_main_loop(pluck::system_keys(), pluck::system_clock(), pluck::system_pause(), quit);
        pluck::stop_audio(program.audio);
        pluck::flush_console_input();
    }
    return pluck::end_program(program);
}
