// The line the audio output says when there is no sound: what happened, on
// which device, and what to look at, "pluck: no sound: ..." on standard
// error, at most one for each stretch without sound. The words are each
// backend's own (describe_no_sound, in sound_device.h).
#pragma once

#include <cstddef>
#include <cstdint>

namespace pluck {

// What a device cannot play.
enum class NoSound : int32_t {
    cannot_open,    // opening or setting it up failed
    not_answering,  // the open has not come back, or the device takes nothing
    lost,           // it failed while playing
};

// Writes "pluck: no sound: ", the text `format` makes and a newline into
// `out`, cut to `size` bytes with the newline kept.
__attribute__((format(gnu_printf, 3, 4))) void write_no_sound_line(char* out, size_t size, const char* format,
                                                                   ...);

// Says the line on standard error at once.
void say_no_sound_line(const char* line);

}  // namespace pluck
