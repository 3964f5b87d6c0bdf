// What pluck does around the keys, the same on every system: reads the
// command line, answers what needs no playing (--help, --version,
// --list-devices), starts the recording and the sound, prints which keys play,
// and at the end completes the recording. Each system's main reads the keys
// in between and stops the sound where its keyboard allows.
#pragma once

#include "audio/audio_output.h"
#include "pluck/options.h"

namespace pluck {

struct Program {
    Options options;
    int exit_status = -1;         // 0 or more: the program ends now, with this
    AudioHandle audio = nullptr;  // null: no sound could be started at all
};

// Everything before the keys are read. Errors are said on standard error.
void start_program(Program& program, int argc, const char* const* argv);

// After the sound has stopped: the program's exit status, 1 when the
// recording could not be completed.
int end_program(const Program& program);

}  // namespace pluck
