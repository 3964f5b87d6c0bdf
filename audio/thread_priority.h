// How the audio output's threads stand with the system's scheduler: the
// priority they ask for when a small ring leaves no time to spare for a late
// wake-up, and the name debuggers and per-thread CPU figures show them by.
#pragma once

#include "audio/audio_output.h"

namespace pluck {

// Raises the calling thread's priority as far as the system lets an
// ordinary user, and says what it became. The instrument plays on all the
// same when it stays ordinary.
ThreadPriority raise_thread_priority();

// Names the calling thread (at most 15 characters) where the system can.
void name_this_thread(const char* name);

}  // namespace pluck
