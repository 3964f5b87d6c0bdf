// pluck: a plucked-string instrument played from the terminal.
#include <cstdio>
#include <cstdlib>

#include "audio/audio_output.h"
#include "control/key_decoder.h"
#include "control/main_loop.h"
#include "control/note_keys.h"
#include "control/terminal.h"
#include "engine/render.h"

int main() {
    // Before anything opens a file: a closed standard input must not become
    // whatever the sound library opens first.
    pluck::open_standard_descriptors();
    auto handle = pluck::start_audio(pluck::render_audio);
    std::fputs(pluck::usage_text, stdout);
    std::fflush(stdout);
    if (handle == nullptr) {
        return 0;
    }
    pluck::KeyDecoder decoder;
    pluck::Terminal terminal;
    pluck::open_terminal(terminal, 0, decoder, std::getenv("TERM"));
    pluck::run_main_loop(terminal, decoder);
    // The terminal first: the queued sound still plays out after it.
    pluck::close_terminal(terminal);
    pluck::stop_audio(handle);
    return 0;
}
