#include "keys/key_decoder.h"

#include "keys/time_left.h"
#include "play/note_keys.h"

namespace pluck {

namespace {

constexpr uint8_t ctrl_c = 0x03;
constexpr uint8_t ctrl_z = 0x1a;

// Keyboard-protocol key codes and modifier bits.
constexpr uint32_t code_escape = 27;
constexpr uint32_t code_space = 32;
constexpr uint32_t code_c = 'c';
constexpr uint32_t code_z = 'z';
constexpr uint32_t modifier_shift = 1;
constexpr uint32_t modifier_ctrl = 4;
constexpr uint32_t modifier_locks = 64 | 128;  // Caps Lock, Num Lock

void remember_key_down(ProtocolKeys& keys, uint32_t code) {
    for (size_t i = 0; i < keys.count; ++i) {
        if (keys.codes[i] == code) {
            return;
        }
    }
    if (keys.count < max_keys_down) {
        keys.codes[keys.count++] = code;
    }
}

void forget_key_down(ProtocolKeys& keys, uint32_t code) {
    for (size_t i = 0; i < keys.count; ++i) {
        if (keys.codes[i] == code) {
            keys.codes[i] = keys.codes[--keys.count];
            return;
        }
    }
}

void key_event(KeyDecoder& d, const SequenceToken& t) {
    const uint32_t held = t.modifiers & ~modifier_locks;
    const bool down = t.event == key_press || t.event == key_repeat;
    if (down) {
        remember_key_down(d.protocol_keys, t.code);
    } else if (t.event == key_release) {
        forget_key_down(d.protocol_keys, t.code);
    }

    if (t.code == code_space) {
        if (t.event == key_release) {
            d.protocol_keys.space = false;
        } else if (down && (held & ~modifier_shift) == 0) {
            d.protocol_keys.space = true;
        }
        return;
    }
    if (!down) {
        return;
    }
    if (t.code == code_escape || (t.code == code_c && held == modifier_ctrl)) {
        d.readings.quit = true;
        return;
    }
    if (t.code == code_z && held == modifier_ctrl) {
        if (t.event == key_press) {
            d.readings.suspend = true;
        }
        return;
    }
    // A note acts on its press, never on its repeats; Shift (and the locks)
    // leave it a note, other modifiers make it something else.
    if (t.event == key_press && (held & ~modifier_shift) == 0) {
        const int32_t k = note_key_index(t.code);
        if (k >= 0) {
            d.readings.pressed |= 1u << k;
        }
    }
}

void plain_byte(KeyDecoder& d, uint8_t b, uint32_t now_ms) {
    const int32_t k = note_key_index(b);
    if (k >= 0) {
        d.readings.pressed |= d.repeats.note_byte(k, now_ms);
        return;
    }
    d.readings.pressed |= d.repeats.other_byte();
    if (b == ctrl_c) {
        d.readings.quit = true;
    } else if (b == ctrl_z) {
        d.readings.suspend = true;
    } else if (b == ' ') {
        d.repeats.space_byte(now_ms);
    }
}

void act_on(KeyDecoder& d, const SequenceToken& t, uint32_t now_ms) {
    switch (t.kind) {
        case SequenceToken::plain:
            plain_byte(d, t.byte, now_ms);
            break;
        case SequenceToken::interrupt:
            d.readings.quit = true;
            break;
        case SequenceToken::key_event:
            key_event(d, t);
            break;
        case SequenceToken::protocol_reply:
            if (!d.replies.attributes) {
                d.replies.protocol = true;
            }
            break;
        case SequenceToken::attributes_reply:
            d.replies.attributes = true;
            break;
        case SequenceToken::focus_lost:
            // A release made in another window never reaches us.
            d.protocol_keys.space = false;
            d.protocol_keys.count = 0;
            d.repeats.release_space();
            break;
        default:
            break;
    }
}

}  // namespace

void decode_keys(KeyDecoder& d, const uint8_t* bytes, size_t count, uint32_t now_ms) {
    // Whatever timed out before these bytes came happened first.
    decode_timeouts(d, now_ms);
    for (size_t i = 0; i < count; ++i) {
        act_on(d, d.parser.read(bytes[i], now_ms), now_ms);
    }
}

void decode_timeouts(KeyDecoder& d, uint32_t now_ms) {
    if (d.parser.expire(now_ms, d.keyboard_protocol)) {
        d.readings.quit = true;
    }
    d.readings.pressed |= d.repeats.expire(now_ms);
}

int32_t ms_until_timeout(const KeyDecoder& d, uint32_t now_ms) {
    return sooner(d.parser.ms_until_due(now_ms, d.keyboard_protocol), d.repeats.ms_until_due(now_ms));
}

uint32_t take_pressed(KeyDecoder& d) {
    const uint32_t pressed = d.readings.pressed;
    d.readings.pressed = 0;
    return pressed;
}

void release_keys(KeyDecoder& d) {
    KeyDecoder fresh;
    fresh.keyboard_protocol = d.keyboard_protocol;
    fresh.readings.quit = d.readings.quit;
    fresh.repeats = d.repeats;
    fresh.repeats.release();
    d = fresh;
}

}  // namespace pluck
