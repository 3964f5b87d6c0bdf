// The keyboard on Windows: the system's key state, asked for each key with
// GetAsyncKeyState. It is read whether or not the console has the focus.
#pragma once

#include <cstdint>

namespace pluck {

constexpr int32_t vk_escape = 0x1B;
constexpr int32_t vk_space = 0x20;

// Where key states come from: the system, or a test's script.
struct KeyReader {
    // The state of `virtual_key` as GetAsyncKeyState gives it: bit 15 set
    // while the key is down, bit 0 set if it was pressed since the previous
    // query of that key (which clears it).
    uint16_t (*state)(int32_t virtual_key, void* context);
    void* context;
};

// GetAsyncKeyState itself.
KeyReader system_keys();

// The virtual-key code of note key `k` (0-7): its upper-case letter.
int32_t note_virtual_key(int32_t k);

// Whether `virtual_key` is down now (Escape, Space).
bool key_down_now(const KeyReader& keys, int32_t virtual_key);

// Bit k set: note key k was pressed since the previous query. Each key is
// queried once, in key order, so that a key pressed, released and pressed
// again between two calls counts once.
uint32_t note_keys_pressed(const KeyReader& keys);

}  // namespace pluck
