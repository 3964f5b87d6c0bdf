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

struct Recorder {
    BlockQueue queue;
    OutputFile file;
    WavWriter wav;
    std::string path;
    bool failed = false;  // a write failed: the rest is taken and dropped
    bool full = false;    // the file holds all a WAV file can: the rest is dropped
    std::atomic<bool> finishing{false};
    std::thread writer;
};

// Made at the first recording and never freed: an audio thread that did not
// stop in time may still be putting blocks into its queue.
Recorder* recorder = nullptr;
// Read by the audio thread on every buffer; cleared when the recording ends.
std::atomic<BlockQueue*> recording_queue{nullptr};

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
            r.failed = true;
        }
        release_block(r.queue);
        wrote = true;
    }
    return wrote;
}

void writer_main(Recorder& r) {
    bool said_lost = false;
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
    if (!open_output_file(r.file, path, -1) || !start_wav(r.wav, output_file_sink(r.file))) {
        error = r.file.error.empty() ? "cannot write " + path : r.file.error;
        discard_output_file(r.file);
        return false;
    }
    try {
        r.writer = std::thread(writer_main, std::ref(r));
    } catch (...) {
        error = "cannot write " + path + ": no thread to write it";
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
    if (!r.failed && finish_wav(r.wav) && commit_output_file(r.file)) {
        result.written = true;
        return result;
    }
    result.error = r.file.error.empty() ? "cannot write " + r.path : r.file.error;
    discard_output_file(r.file);
    return result;
}

int finish_recording_and_report(const std::string& path) {
    const RecordingResult result = finish_recording();
    if (result.lost_frames > 0) {
        std::fprintf(stderr, "pluck: %lld frames (%.1f s) are missing from %s: the disk fell behind\n",
                     static_cast<long long>(result.lost_frames),
                     static_cast<double>(result.lost_frames) / sample_rate_hz, path.c_str());
    }
    if (!result.written) {
        std::fprintf(stderr, "pluck: %s\n", result.error.c_str());
        return exit_failure;
    }
    return exit_ok;
}

}  // namespace pluck
