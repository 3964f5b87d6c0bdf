#include "tests/support/numbered_fill.h"

#include <bit>
#include <cstring>
#include <vector>

namespace pluck::test {

NumberedFill numbered_fill;

void reset_numbered_fill(int stall_at_call, int pause_ms) {
    numbered_fill.calls = 0;
    numbered_fill.stall_at_call = stall_at_call;
    numbered_fill.pause_ms = pause_ms;
    numbered_fill.frames = 0;
}

void numbering_fill(void* buffer, uint32_t bytes) {
    NumberedFill& f = numbered_fill;
    const int call = f.calls.fetch_add(1);
    float* samples = static_cast<float*>(buffer);
    for (uint32_t i = 0; i < bytes / 8; ++i) {
        const float v = numbered_value(++f.frames);
        samples[2 * i] = v;
        samples[2 * i + 1] = -v;
    }
    const int pause_ms = call == f.stall_at_call ? 150 : f.pause_ms;
    std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
}

NumberedStream read_numbered(const std::string& bytes) {
    std::vector<float> recording(bytes.size() / 4);
    std::memcpy(recording.data(), bytes.data(), recording.size() * 4);
    NumberedStream stream;
    bool in_silence = true;
    for (size_t i = 0; i + 1 < recording.size(); i += 2) {
        const uint32_t left = std::bit_cast<uint32_t>(recording[i]);
        const uint32_t right = std::bit_cast<uint32_t>(recording[i + 1]);
        if (left == 0 && right == 0) {
            stream.leading_silence += stream.frames == 0 ? 1 : 0;
            in_silence = true;
            continue;
        }
        const float expected = numbered_value(stream.frames + 1);
        if (left != std::bit_cast<uint32_t>(expected) || right != std::bit_cast<uint32_t>(-expected)) {
            stream.fault = "recorded frame " + std::to_string(i / 2) + " is not numbered frame " +
                           std::to_string(stream.frames + 1);
            return stream;
        }
        stream.silent_runs += in_silence && stream.frames > 0 ? 1 : 0;
        in_silence = false;
        ++stream.frames;
    }
    return stream;
}

}  // namespace pluck::test
