#include "pluck/recording.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <new>
#include <thread>

#include "engine/render.h"
#include "engine/tuning.h"
#include "pluck/block_queue.h"
#include "sound_files/output_file.h"
#include "sound_files/wav_file.h"
#include "system/exit_status.h"

namespace pluck {

namespace {

using Clock = std::chrono::steady_clock;

struct Recorder {
    BlockQueue queue;
    OutputFile file;
    WavWriter wav;
    std::string path;
    bool failed = false;  // a write failed: the file keeps what fit, the rest is dropped
    bool full = false;    // the file holds all a WAV file can: the rest is dropped
    std::atomic<bool> finishing{false};
    std::thread writer;
};

// Made at the first recording and never freed: an audio thread that did not
// stop in time may still be putting blocks into its queue.
Recorder* recorder = nullptr;
// Read by the audio thread on every buffer; cleared when the recording ends.
std::atomic<BlockQueue*> recording_queue{nullptr};

double seconds_of(int64_t frames) {
    return static_cast<double>(frames) / sample_rate_hz;
}

// After a write that failed: the file is cut to the whole frames it holds
// and its sizes count them, so that it is a valid WAV file of what fit; the
// player hears of it at once.
void keep_what_fit(Recorder& r) {
    r.failed = true;
    const std::string error = r.file.error;
    r.wav.frames = wav_frames_in(r.file.size);
    truncate_output_file(r.file, wav_file_bytes(r.wav.frames));
    write_wav_sizes(r.wav);
    sync_output_file(r.file);
    std::fprintf(stderr, "pluck: %s; %s keeps the first %.1f s of the take, the rest is not recorded\n",
                 error.c_str(), r.file.part_path.c_str(), seconds_of(r.wav.frames));
    std::fflush(stderr);
}

// What was written goes to the disk first, then the sizes that count it:
// whenever the power goes, the file on the disk is a valid WAV file.
void keep_on_disk(Recorder& r) {
    if (!r.failed && !(sync_output_file(r.file) && write_wav_sizes(r.wav))) {
        keep_what_fit(r);
    }
}

// Writes every block waiting; false if there was none.
bool write_waiting(Recorder& r) {
    bool wrote = false;
    while (const QueuedBlock* block = peek_block(r.queue)) {
        if (!r.full && r.wav.frames + block->frames > max_wav_frames) {
            r.full = true;
            std::fprintf(stderr, "pluck: %s is as long as a WAV file can be; the rest is not recorded\n",
                         r.path.c_str());
            std::fflush(stderr);
        }
        if (!r.failed && !r.full && !write_wav_frames(r.wav, block->samples, block->frames)) {
            keep_what_fit(r);
        }
        release_block(r.queue);
        wrote = true;
    }
    return wrote;
}

void writer_main(Recorder& r) {
    bool said_lost = false;
    Clock::time_point sizes_due = Clock::now() + std::chrono::milliseconds(recording_sizes_ms);
    for (;;) {
        const bool finishing = r.finishing.load(std::memory_order_acquire);
        const bool wrote = write_waiting(r);
        if (!said_lost && r.queue.lost_frames.load(std::memory_order_relaxed) > 0) {
            // Once: the count comes when the recording ends.
            std::fprintf(stderr, "pluck: the disk is falling behind; sound is missing from %s\n",
                         r.path.c_str());
            std::fflush(stderr);
            said_lost = true;
        }
        if (finishing) {
            return;  // everything put before the finish request is written
        }
        if (Clock::now() >= sizes_due) {
            keep_on_disk(r);
            sizes_due = Clock::now() + std::chrono::milliseconds(recording_sizes_ms);
        }
        if (!wrote) {
            std::this_thread::sleep_for(std::chrono::milliseconds(recording_poll_ms));
        }
    }
}

}  // namespace

bool start_recording(const std::string& path, std::string& error) {
    if (recorder != nullptr) {
        error = "cannot write " + path + ": a recording is already being made";
        return false;
    }
    recorder = new (std::nothrow) Recorder;
    if (recorder == nullptr) {
        error = "cannot write " + path + ": out of memory";
        return false;
    }
    Recorder& r = *recorder;
    r.path = path;
    if (!open_take_file(r.file, path) || !start_wav(r.wav, output_file_sink(r.file))) {
        error = r.file.error.empty() ? "cannot write " + path : r.file.error;
        r.file.take = false;  // nothing is recorded yet: its .part goes too
        discard_output_file(r.file);
        return false;
    }
    try {
        r.writer = std::thread(writer_main, std::ref(r));
    } catch (...) {
        error = "cannot write " + path + ": no thread to write it";
        r.file.take = false;
        discard_output_file(r.file);
        return false;
    }
    recording_queue.store(&r.queue, std::memory_order_release);
    return true;
}

void render_and_record(void* buffer, uint32_t bytes) {
    render_audio(buffer, bytes);
    if (BlockQueue* queue = recording_queue.load(std::memory_order_acquire)) {
        put_frames(*queue, static_cast<const float*>(buffer), bytes / frame_bytes);
    }
}

RecordingResult finish_recording() {
    RecordingResult result;
    if (recorder == nullptr || !recorder->writer.joinable()) {
        result.error = "no recording was made";
        return result;
    }
    Recorder& r = *recorder;
    recording_queue.store(nullptr, std::memory_order_release);
    r.finishing.store(true, std::memory_order_release);
    r.writer.join();
    result.lost_frames = r.queue.lost_frames.load(std::memory_order_relaxed);
    result.frames = r.wav.frames;
    result.part_path = r.file.part_path;
    if (r.failed) {
        result.cut_short = true;
    } else if (write_wav_sizes(r.wav) && commit_output_file(r.file)) {
        result.written = true;
    } else {
        result.error = r.file.error.empty() ? "cannot write " + r.path : r.file.error;
    }
    discard_output_file(r.file);  // the take stays where it is
    return result;
}

int finish_recording_and_report(const std::string& path) {
    const RecordingResult result = finish_recording();
    if (result.lost_frames > 0) {
        std::fprintf(stderr, "pluck: %lld frames (%.1f s) are missing from %s: the disk fell behind\n",
                     static_cast<long long>(result.lost_frames), seconds_of(result.lost_frames),
                     path.c_str());
    }
    if (result.cut_short) {
        std::fprintf(stderr,
                     "pluck: the take is incomplete: %s holds its first %.1f s, all that could be written\n",
                     result.part_path.c_str(), seconds_of(result.frames));
    } else if (!result.written) {
        std::fprintf(stderr, "pluck: %s%s%s\n", result.error.c_str(),
                     result.part_path.empty() ? "" : "; the take is kept in ", result.part_path.c_str());
    }
    return result.written ? exit_ok : exit_failure;
}

}  // namespace pluck
