// A recording of everything the instrument plays, written while it plays.
//
// The audio thread hands each block it renders to a queue of preallocated
// blocks and goes on at once; a writer thread of its own takes them from the
// queue and appends them to a 32-bit float WAV file. The audio thread never
// waits for the disk: when the queue is full (the disk has fallen behind by
// several seconds) a block is dropped and counted, and the writer says so
// once. The take is written as FILE.wav.part, a valid WAV file at every
// moment: twice a second the writer puts what it wrote on the disk and then
// brings the sizes in the header up to date, so that a crash, a kill or a
// power cut leaves all but the last half second playable there. It takes
// the name FILE.wav when pluck ends and the take is complete. A write that
// fails (a full disk) is said at once; the file keeps the whole frames that
// fit, stays FILE.wav.part, and the instrument plays on.
#pragma once

#include <cstdint>
#include <string>

namespace pluck {

// How often the writer looks at the queue when it found it empty.
constexpr int recording_poll_ms = 10;
// How often the writer puts the take on the disk with its sizes.
constexpr int recording_sizes_ms = 500;

// Opens `path`.part for the recording and starts the writer; one recording
// at a time. False with `error` set ("cannot write PATH: reason") if the
// file cannot be written there or `path` could not be replaced by it.
bool start_recording(const std::string& path, std::string& error);

// The audio thread's fill callback while recording: renders the buffer, then
// queues a copy of it. Never allocates, locks or waits.
void render_and_record(void* buffer, uint32_t bytes);

struct RecordingResult {
    bool written = false;     // the file is complete under its name
    bool cut_short = false;   // a write failed: the .part holds what fit
    int64_t frames = 0;       // frames in the file
    int64_t lost_frames = 0;  // dropped because the disk fell behind
    std::string part_path;    // where the take stays when not written
    std::string error;        // when not written nor cut short
};

// After the audio has stopped: writes what is still queued, completes the
// file and gives it its name; a take that is cut short or cannot take its
// name stays PATH.part. If the audio thread may still be running (it did
// not stop in time), whatever it queues from now on is dropped.
RecordingResult finish_recording();

// finish_recording(), with what went wrong said on standard error: the
// program's exit status (0, or 1 when the take is not complete under its
// name).
int finish_recording_and_report(const std::string& path);

}  // namespace pluck
