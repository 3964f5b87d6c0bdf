#include "keys/keyboard_windows.h"

#include <windows.h>

#include "play/note_keys.h"

namespace pluck {

namespace {

uint16_t async_key_state(int32_t virtual_key, void*) {
    return static_cast<uint16_t>(GetAsyncKeyState(virtual_key));
}

}  // namespace

KeyReader system_keys() {
    return KeyReader{async_key_state, nullptr};
}

int32_t note_virtual_key(int32_t k) {
    return note_keys[k].letter - 'a' + 'A';
}

bool key_down_now(const KeyReader& keys, int32_t virtual_key) {
    return (keys.state(virtual_key, keys.context) & 0x8000u) != 0;
}

uint32_t note_keys_pressed(const KeyReader& keys) {
    uint32_t pressed = 0;
    for (int32_t k = 0; k < note_key_count; ++k) {
        if ((keys.state(note_virtual_key(k), keys.context) & 0x0001u) != 0) {
            pressed |= 1u << k;
        }
    }
    return pressed;
}

}  // namespace pluck
