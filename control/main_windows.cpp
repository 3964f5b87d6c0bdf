// pluck for Windows: a plucked-string instrument played from the keyboard.
#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "audio/audio_output.h"
#include "control/clock.h"
#include "control/console_windows.h"
#include "control/keyboard_windows.h"
#include "control/main_loop_windows.h"
#include "control/note_keys.h"
#include "engine/render.h"

int main() {
    const std::atomic<bool>& quit = pluck::watch_console_quit();
    auto handle = pluck::start_audio(pluck::render_audio);
    // The same bytes as on Linux: no carriage returns added. A console
    // starts a new line at a line feed all the same.
    _setmode(_fileno(stdout), _O_BINARY);
    std::fputs(pluck::usage_text, stdout);
    std::fflush(stdout);
    if (handle == nullptr) {
        return 0;
    }
    pluck::run_main_loop(pluck::system_keys(), pluck::system_clock(), pluck::system_pause(), quit);
    pluck::stop_audio(handle);
    pluck::flush_console_input();
    return 0;
}
