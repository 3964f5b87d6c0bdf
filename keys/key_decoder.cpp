#include "keys/key_decoder.h"

#include "play/note_keys.h"

namespace pluck {

namespace {

constexpr uint8_t esc = 0x1b;
constexpr uint8_t ctrl_c = 0x03;
constexpr uint8_t ctrl_z = 0x1a;
constexpr uint8_t cancel = 0x18;      // CAN: abandons a sequence
constexpr uint8_t substitute = 0x1a;  // SUB: likewise (and Ctrl-Z's byte)

constexpr uint8_t paste_end[] = {esc, '[', '2', '0', '1', '~'};

// Keyboard-protocol key codes and modifier bits (the modifiers field is one
// more than the bit set).
constexpr uint32_t code_escape = 27;
constexpr uint32_t code_space = 32;
constexpr uint32_t code_c = 'c';
constexpr uint32_t code_z = 'z';
constexpr uint32_t modifier_shift = 1;
constexpr uint32_t modifier_ctrl = 4;
constexpr uint32_t modifier_locks = 64 | 128;  // Caps Lock, Num Lock
constexpr uint32_t event_press = 1;
constexpr uint32_t event_repeat = 2;
constexpr uint32_t event_release = 3;

// Numbers in a sequence are capped rather than allowed to overflow.
constexpr uint32_t number_cap = 0x7fffffff;

// --- Plain bytes --------------------------------------------------------

// How long after a byte of a repeating key the next repeat may come.
uint32_t repeat_limit_ms(const KeyDecoder& d) {
    const uint32_t interval = d.repeat_interval_ms != 0 ? d.repeat_interval_ms : repeat_interval_unknown_ms;
    return interval + repeat_interval_slack_ms;
}

// Whether a second byte `gap_ms` after a press may be the keyboard starting
// to repeat.
bool about_the_repeat_delay(const KeyDecoder& d, uint32_t gap_ms) {
    if (d.repeat_delay_ms == 0) {
        return gap_ms >= repeat_delay_min_ms && gap_ms <= repeat_delay_max_ms;
    }
    return gap_ms + repeat_delay_tolerance_ms >= d.repeat_delay_ms &&
           gap_ms <= d.repeat_delay_ms + repeat_delay_tolerance_ms;
}

// A gap between two repeats refines the interval; bunched-up reads and
// stalls say nothing about it.
void learn_interval(KeyDecoder& d, uint32_t gap_ms) {
    if (d.repeat_delay_ms == 0 || gap_ms < repeat_interval_min_ms || gap_ms > repeat_interval_max_ms) {
        return;
    }
    d.repeat_interval_ms = (3 * d.repeat_interval_ms + gap_ms + 2) / 4;
}

// A hold's first gap and the one after it, if they look like a keyboard's
// repeat delay and interval.
void learn_repeat_timing(KeyDecoder& d, uint32_t delay_ms, uint32_t interval_ms) {
    if (delay_ms < repeat_delay_min_ms || delay_ms > repeat_delay_max_ms ||
        interval_ms < repeat_interval_min_ms || interval_ms > repeat_interval_max_ms ||
        delay_ms < 2 * interval_ms) {
        return;
    }
    const bool first = d.repeat_delay_ms == 0;
    d.repeat_delay_ms = delay_ms;
    if (first) {
        d.repeat_interval_ms = interval_ms;
    } else {
        learn_interval(d, interval_ms);
    }
}

void note_press(KeyDecoder& d, int32_t k, uint32_t now_ms) {
    d.pressed |= 1u << k;
    d.run_key = static_cast<int8_t>(k);
    d.run = NoteRun::pressed;
    d.run_press_ms = now_ms;
    d.run_last_ms = now_ms;
}

// Another key came (the keyboard repeats only the last one), or the
// repeat rhythm did not: a second byte still waiting was a press after all.
void end_note_run(KeyDecoder& d) {
    if (d.run == NoteRun::pending) {
        d.pressed |= 1u << d.run_key;
    }
    d.run = NoteRun::none;
    d.run_key = -1;
}

void plain_note(KeyDecoder& d, int32_t k, uint32_t now_ms) {
    if (d.run == NoteRun::none || d.run_key != k) {
        end_note_run(d);
        note_press(d, k, now_ms);
        return;
    }
    const uint32_t gap = now_ms - d.run_last_ms;
    switch (d.run) {
        case NoteRun::pressed:
            if (gap < retap_min_ms) {
                d.run = NoteRun::repeating;  // reads bunched up
            } else if (about_the_repeat_delay(d, gap)) {
                d.run = NoteRun::pending;
            } else {
                note_press(d, k, now_ms);
                return;
            }
            break;
        case NoteRun::pending:
            // Within the repeat interval of the pending byte (the timeouts
            // run before every read): the keyboard is repeating.
            learn_repeat_timing(d, d.run_last_ms - d.run_press_ms, gap);
            d.run = NoteRun::repeating;
            break;
        default:  // repeating
            if (gap >= repeat_limit_ms(d)) {
                note_press(d, k, now_ms);
                return;
            }
            learn_interval(d, gap);
            break;
    }
    d.run_last_ms = now_ms;
}

void plain_space(KeyDecoder& d, uint32_t now_ms) {
    if (d.space_repeating) {
        d.space_gap_ms = now_ms - d.space_last_ms;
        if (d.space_bytes < 0xffffffffu) {
            ++d.space_bytes;
        }
        if (d.space_bytes == 2) {
            d.space_first_gap_ms = d.space_gap_ms;
        } else if (d.space_bytes == 3) {
            learn_repeat_timing(d, d.space_first_gap_ms, d.space_gap_ms);
        } else {
            learn_interval(d, d.space_gap_ms);
        }
    } else {
        d.space_repeating = true;
        d.space_bytes = 1;
        d.space_gap_ms = 0;
        d.space_first_gap_ms = 0;
    }
    d.space_last_ms = now_ms;
}

// How long a plain-byte Space stays held after its latest byte. The first
// gap is the keyboard's delay before repeating; from the second on, the gaps
// are its repeat interval.
uint32_t space_hold_ms(const KeyDecoder& d) {
    if (d.space_bytes < 3) {
        return space_hold_first_ms;
    }
    uint32_t hold = d.space_gap_ms > space_hold_first_ms ? space_hold_first_ms
                                                         : d.space_gap_ms * space_hold_repeat_intervals;
    if (hold < space_hold_min_ms) {
        hold = space_hold_min_ms;
    }
    return hold > space_hold_first_ms ? space_hold_first_ms : hold;
}

void ground_byte(KeyDecoder& d, uint8_t b, uint32_t now_ms) {
    if (b == esc) {
        d.state = DecodeState::escape;
        d.escape_ms = now_ms;
        return;
    }
    const int32_t k = note_key_index(b);
    if (k >= 0) {
        plain_note(d, k, now_ms);
        return;
    }
    end_note_run(d);
    if (b == ctrl_c) {
        d.quit = true;
    } else if (b == ctrl_z) {
        d.suspend = true;
    } else if (b == ' ') {
        plain_space(d, now_ms);
    }
}

// Bytes a player cannot type as one burst on a plain terminal: control
// sequences and what follows their openers.
bool in_sequence(const KeyDecoder& d) {
    return !d.keyboard_protocol && (d.state == DecodeState::csi || d.state == DecodeState::ss3 ||
                                    d.state == DecodeState::mouse || d.state == DecodeState::paste);
}

// --- Control sequences --------------------------------------------------

void start_sequence(KeyDecoder& d, DecodeState state) {
    d.state = state;
    d.sequence_length = 0;
    d.sequence_overflow = false;
    d.sequence_intermediate = false;
}

// Reads the number at `*at` in the sequence's parameter bytes and moves past
// it; a missing number reads as `absent`.
uint32_t read_number(const KeyDecoder& d, size_t* at, uint32_t absent) {
    size_t i = *at;
    if (i >= d.sequence_length || d.sequence[i] < '0' || d.sequence[i] > '9') {
        return absent;
    }
    uint32_t value = 0;
    while (i < d.sequence_length && d.sequence[i] >= '0' && d.sequence[i] <= '9') {
        const uint32_t digit = static_cast<uint32_t>(d.sequence[i] - '0');
        value = value > (number_cap - digit) / 10 ? number_cap : value * 10 + digit;
        ++i;
    }
    *at = i;
    return value;
}

void remember_key_down(KeyDecoder& d, uint32_t code) {
    for (size_t i = 0; i < d.keys_down_count; ++i) {
        if (d.keys_down[i] == code) {
            return;
        }
    }
    if (d.keys_down_count < max_keys_down) {
        d.keys_down[d.keys_down_count++] = code;
    }
}

void forget_key_down(KeyDecoder& d, uint32_t code) {
    for (size_t i = 0; i < d.keys_down_count; ++i) {
        if (d.keys_down[i] == code) {
            d.keys_down[i] = d.keys_down[--d.keys_down_count];
            return;
        }
    }
}

// Moves `*at` past the rest of the current field (up to the next ';').
void skip_field(const KeyDecoder& d, size_t* at) {
    while (*at < d.sequence_length && d.sequence[*at] != ';') {
        ++*at;
    }
}

// CSI code[:alternates];modifiers[:event][;text]u
void keyboard_event(KeyDecoder& d) {
    size_t at = 0;
    const uint32_t code = read_number(d, &at, 0);
    skip_field(d, &at);
    uint32_t modifiers = 1;
    uint32_t event = event_press;
    if (at < d.sequence_length) {
        ++at;  // the ';'
        modifiers = read_number(d, &at, 1);
        if (at < d.sequence_length && d.sequence[at] == ':') {
            ++at;
            event = read_number(d, &at, event_press);
        }
    }
    const uint32_t held = (modifiers == 0 ? 0 : modifiers - 1) & ~modifier_locks;
    const bool down = event == event_press || event == event_repeat;
    if (down) {
        remember_key_down(d, code);
    } else if (event == event_release) {
        forget_key_down(d, code);
    }

    if (code == code_space) {
        if (event == event_release) {
            d.space_exact = false;
        } else if (down && (held & ~modifier_shift) == 0) {
            d.space_exact = true;
        }
        return;
    }
    if (!down) {
        return;
    }
    if (code == code_escape || (code == code_c && held == modifier_ctrl)) {
        d.quit = true;
        return;
    }
    if (code == code_z && held == modifier_ctrl) {
        if (event == event_press) {
            d.suspend = true;
        }
        return;
    }
    // A note acts on its press, never on its repeats; Shift (and the locks)
    // leave it a note, other modifiers make it something else.
    if (event == event_press && (held & ~modifier_shift) == 0) {
        const int32_t k = note_key_index(code);
        if (k >= 0) {
            d.pressed |= 1u << k;
        }
    }
}

void finish_csi(KeyDecoder& d, uint8_t final_byte) {
    d.state = DecodeState::ground;
    if (d.sequence_overflow || d.sequence_intermediate) {
        return;
    }
    const bool marked = d.sequence_length > 0 && d.sequence[0] >= 0x3c && d.sequence[0] <= 0x3f;
    const uint8_t marker = marked ? d.sequence[0] : 0;
    switch (final_byte) {
        case 'u':
            if (marker == '?') {
                // The keyboard protocol's answer to CSI ? u.
                if (!d.attributes_reply) {
                    d.protocol_reply = true;
                }
            } else if (!marked) {
                keyboard_event(d);
            }
            break;
        case 'c':
            if (marker == '?') {
                d.attributes_reply = true;
            }
            break;
        case '~':
            if (!marked && d.sequence_length == 3 && d.sequence[0] == '2' && d.sequence[1] == '0' &&
                d.sequence[2] == '0') {
                d.state = DecodeState::paste;
                d.paste_matched = 0;
            }
            break;
        case 'O':
            // Focus lost: a release made in another window never reaches us.
            if (d.sequence_length == 0) {
                d.space_exact = false;
                d.space_repeating = false;
                d.keys_down_count = 0;
            }
            break;
        case 'M':
            // An old-style mouse report: three raw bytes follow.
            if (d.sequence_length == 0) {
                d.state = DecodeState::mouse;
                d.mouse_left = 3;
            }
            break;
        default:
            break;
    }
}

void csi_byte(KeyDecoder& d, uint8_t b) {
    if (b >= 0x40 && b <= 0x7e) {
        finish_csi(d, b);
    } else if (b >= 0x30 && b <= 0x3f) {
        if (d.sequence_intermediate) {
            d.sequence_overflow = true;  // parameters after intermediates: malformed
        } else if (d.sequence_length < max_sequence_bytes) {
            d.sequence[d.sequence_length++] = b;
        } else {
            d.sequence_overflow = true;
        }
    } else if (b >= 0x20 && b <= 0x2f) {
        d.sequence_intermediate = true;
    } else {
        // DEL or a byte above 0x7e cannot be part of a sequence: drop both.
        d.state = DecodeState::ground;
    }
}

void ss3_byte(KeyDecoder& d, uint8_t b) {
    // ESC O [parameters] final: function keys and keypad; all ignored.
    if (b < 0x30 || b > 0x3f) {
        d.state = DecodeState::ground;
    }
}

void escape_byte(KeyDecoder& d, uint8_t b) {
    switch (b) {
        case '[':
            start_sequence(d, DecodeState::csi);
            break;
        case 'O':
            start_sequence(d, DecodeState::ss3);
            break;
        default:
            // ESC and one more byte: an Alt chord, or a stray; ignored. That
            // includes ESC ] and the other openers of terminal strings: the
            // instrument asks for nothing a terminal answers with a string,
            // so these are Alt+], Alt+Shift+P and the like.
            d.state = DecodeState::ground;
            break;
    }
}

void paste_byte(KeyDecoder& d, uint8_t b) {
    if (b == paste_end[d.paste_matched]) {
        if (++d.paste_matched == sizeof paste_end) {
            d.state = DecodeState::ground;
            d.paste_matched = 0;
        }
    } else {
        d.paste_matched = b == esc ? 1 : 0;
    }
}

void decode_byte(KeyDecoder& d, uint8_t b, uint32_t now_ms) {
    if (d.state == DecodeState::ground) {
        ground_byte(d, b, now_ms);
        return;
    }
    d.sequence_ms = now_ms;
    if (d.state == DecodeState::paste) {
        paste_byte(d, b);
        return;
    }
    if (d.state == DecodeState::mouse) {
        if (--d.mouse_left == 0) {
            d.state = DecodeState::ground;
        }
        return;
    }
    // Inside a sequence: ESC starts a new one, CAN and SUB abandon it,
    // Ctrl-C still quits.
    if (b == esc) {
        d.state = DecodeState::escape;
        d.escape_ms = now_ms;
        return;
    }
    if (b == cancel || b == substitute) {
        d.state = DecodeState::ground;
        return;
    }
    if (b == ctrl_c) {
        d.quit = true;
        return;
    }
    switch (d.state) {
        case DecodeState::escape:
            escape_byte(d, b);
            break;
        case DecodeState::csi:
            if (b >= 0x20) {
                csi_byte(d, b);
            }
            break;
        case DecodeState::ss3:
            if (b >= 0x20) {
                ss3_byte(d, b);
            }
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
        decode_byte(d, bytes[i], now_ms);
    }
}

void decode_timeouts(KeyDecoder& d, uint32_t now_ms) {
    if (d.state == DecodeState::escape && !d.keyboard_protocol && now_ms - d.escape_ms >= lone_escape_ms) {
        d.state = DecodeState::ground;
        d.quit = true;
    }
    if (in_sequence(d) && now_ms - d.sequence_ms >= sequence_gap_ms) {
        d.state = DecodeState::ground;
    }
    if (d.run == NoteRun::pending && now_ms - d.run_last_ms >= repeat_limit_ms(d)) {
        d.pressed |= 1u << d.run_key;
        // The pending byte was the press; the next one is measured from it.
        d.run = NoteRun::pressed;
        d.run_press_ms = d.run_last_ms;
    }
    if (d.space_repeating && now_ms - d.space_last_ms >= space_hold_ms(d)) {
        d.space_repeating = false;
    }
}

int32_t ms_until_timeout(const KeyDecoder& d, uint32_t now_ms) {
    int64_t wait = -1;
    const auto consider = [&](uint32_t since_ms, uint32_t after_ms) {
        const uint32_t elapsed = now_ms - since_ms;
        const int64_t left = elapsed >= after_ms ? 0 : static_cast<int64_t>(after_ms - elapsed);
        if (wait < 0 || left < wait) {
            wait = left;
        }
    };
    if (d.state == DecodeState::escape && !d.keyboard_protocol) {
        consider(d.escape_ms, lone_escape_ms);
    }
    if (in_sequence(d)) {
        consider(d.sequence_ms, sequence_gap_ms);
    }
    if (d.run == NoteRun::pending) {
        consider(d.run_last_ms, repeat_limit_ms(d));
    }
    if (d.space_repeating) {
        consider(d.space_last_ms, space_hold_ms(d));
    }
    return static_cast<int32_t>(wait);
}

uint32_t take_pressed(KeyDecoder& d) {
    const uint32_t pressed = d.pressed;
    d.pressed = 0;
    return pressed;
}

void release_keys(KeyDecoder& d) {
    KeyDecoder fresh;
    fresh.keyboard_protocol = d.keyboard_protocol;
    fresh.quit = d.quit;
    fresh.repeat_delay_ms = d.repeat_delay_ms;
    fresh.repeat_interval_ms = d.repeat_interval_ms;
    d = fresh;
}

}  // namespace pluck
