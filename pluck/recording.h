// A recording of everything the instrument plays, written while it plays.
//
// The audio thread hands each block it renders to a queue of preallocated
// blocks and goes on at once; a writer thread of its own takes them from the
// queue and appends them to a 32-bit float WAV file. The audio thread never
// waits for the disk: when the queue is full (the disk has fallen behind by
// several seconds) a block is dropped and counted, and the writer says so
// once. The file is written under no name (or a hidden temporary one) and
// takes its name only when the recording is finished and complete.
#pragma once

#include <cstdint>
#include <string>

namespace pluck {

// How often the writer looks at the queue when it found it empty.
constexpr int recording_poll_ms = 10;

// Opens `path` for the recording and starts the writer; one recording at a
// time. False with `error` set ("cannot write PATH: reason") if the file
// cannot be written there.
bool start_recording(const std::string& path, std::string& error);

// The audio thread's fill callback while recording: renders the buffer, then
// queues a copy of it. Never allocates, locks or waits.
void render_and_record(void* buffer, uint32_t bytes);

struct RecordingResult {
    bool written = false;     // the file is complete under its name
    int64_t frames = 0;       // frames in the file
    int64_t lost_frames = 0;  // dropped because the disk fell behind
    std::string error;        // when not written
};

// After the audio has stopped: writes what is still queued, completes the
// file and gives it its name. If the audio thread may still be running (it
// did not stop in time), whatever it queues from now on is dropped.
RecordingResult finish_recording();

// finish_recording(), with what went wrong said on standard error: the
// program's exit status (0, or 1 when the file could not be written).
int finish_recording_and_report(const std::string& path);

}  // namespace pluck
