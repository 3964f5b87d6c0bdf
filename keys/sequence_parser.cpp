#include "keys/sequence_parser.h"

#include "keys/time_left.h"

namespace pluck {

namespace {

constexpr uint8_t esc = 0x1b;
constexpr uint8_t ctrl_c = 0x03;
constexpr uint8_t cancel = 0x18;      // CAN: abandons a sequence
constexpr uint8_t substitute = 0x1a;  // SUB: likewise (and Ctrl-Z's byte)

constexpr uint8_t paste_end[] = {esc, '[', '2', '0', '1', '~'};

// Numbers in a sequence are capped rather than allowed to overflow.
constexpr uint32_t number_cap = 0x7fffffff;

// Reads the number at `*at` in the parameter bytes and moves past it; a
// missing number reads as `absent`.
uint32_t read_number(const SequenceParameters& p, size_t* at, uint32_t absent) {
    size_t i = *at;
    if (i >= p.length || p.bytes[i] < '0' || p.bytes[i] > '9') {
        return absent;
    }
    uint32_t value = 0;
    while (i < p.length && p.bytes[i] >= '0' && p.bytes[i] <= '9') {
        const uint32_t digit = static_cast<uint32_t>(p.bytes[i] - '0');
        value = value > (number_cap - digit) / 10 ? number_cap : value * 10 + digit;
        ++i;
    }
    *at = i;
    return value;
}

// Moves `*at` past the rest of the current field (up to the next ';').
void skip_field(const SequenceParameters& p, size_t* at) {
    while (*at < p.length && p.bytes[*at] != ';') {
        ++*at;
    }
}

// CSI code[:alternates];modifiers[:event][;text]u. The modifiers field is
// one more than the bit set.
SequenceToken key_event(const SequenceParameters& p) {
    SequenceToken t{.kind = SequenceToken::key_event};
    size_t at = 0;
    t.code = read_number(p, &at, 0);
    skip_field(p, &at);
    uint32_t modifiers = 1;
    if (at < p.length) {
        ++at;  // the ';'
        modifiers = read_number(p, &at, 1);
        if (at < p.length && p.bytes[at] == ':') {
            ++at;
            t.event = read_number(p, &at, key_press);
        }
    }
    t.modifiers = modifiers == 0 ? 0 : modifiers - 1;
    return t;
}

SequenceToken finish_csi(SequenceParser& s, uint8_t final_byte) {
    s.state = DecodeState::ground;
    const SequenceParameters& p = s.parameters;
    if (p.overflow || p.intermediate) {
        return {};
    }
    const bool marked = p.length > 0 && p.bytes[0] >= 0x3c && p.bytes[0] <= 0x3f;
    const uint8_t marker = marked ? p.bytes[0] : 0;
    switch (final_byte) {
        case 'u':
            if (marker == '?') {
                return {.kind = SequenceToken::protocol_reply};
            }
            if (!marked) {
                return key_event(p);
            }
            break;
        case 'c':
            if (marker == '?') {
                return {.kind = SequenceToken::attributes_reply};
            }
            break;
        case '~':
            if (!marked && p.length == 3 && p.bytes[0] == '2' && p.bytes[1] == '0' && p.bytes[2] == '0') {
                s.state = DecodeState::paste;
                s.paste_matched = 0;
            }
            break;
        case 'O':
            if (p.length == 0) {
                return {.kind = SequenceToken::focus_lost};
            }
            break;
        case 'M':
            // An old-style mouse report: three raw bytes follow.
            if (p.length == 0) {
                s.state = DecodeState::mouse;
                s.mouse_left = 3;
            }
            break;
        default:
            break;
    }
    return {};
}

SequenceToken csi_byte(SequenceParser& s, uint8_t b) {
    SequenceParameters& p = s.parameters;
    if (b >= 0x40 && b <= 0x7e) {
        return finish_csi(s, b);
    }
    if (b >= 0x30 && b <= 0x3f) {
        if (p.intermediate) {
            p.overflow = true;  // parameters after intermediates: malformed
        } else if (p.length < max_sequence_bytes) {
            p.bytes[p.length++] = b;
        } else {
            p.overflow = true;
        }
    } else if (b >= 0x20 && b <= 0x2f) {
        p.intermediate = true;
    } else {
        // DEL or a byte above 0x7e cannot be part of a sequence: drop both.
        s.state = DecodeState::ground;
    }
    return {};
}

void ss3_byte(SequenceParser& s, uint8_t b) {
    // ESC O [parameters] final: function keys and keypad; all ignored.
    if (b < 0x30 || b > 0x3f) {
        s.state = DecodeState::ground;
    }
}

void escape_byte(SequenceParser& s, uint8_t b) {
    switch (b) {
        case '[':
            s.state = DecodeState::csi;
            s.parameters.start();
            break;
        case 'O':
            s.state = DecodeState::ss3;
            s.parameters.start();
            break;
        default:
            // ESC and one more byte: an Alt chord, or a stray; ignored. That
            // includes ESC ] and the other openers of terminal strings: the
            // instrument asks for nothing a terminal answers with a string,
            // so these are Alt+], Alt+Shift+P and the like.
            s.state = DecodeState::ground;
            break;
    }
}

void paste_byte(SequenceParser& s, uint8_t b) {
    if (b == paste_end[s.paste_matched]) {
        if (++s.paste_matched == sizeof paste_end) {
            s.state = DecodeState::ground;
            s.paste_matched = 0;
        }
    } else {
        s.paste_matched = b == esc ? 1 : 0;
    }
}

// Bytes a player cannot type as one burst on a plain terminal: control
// sequences and what follows their openers. With the keyboard protocol a
// sequence may come in pieces, and a new ESC ends any half-read one, but a
// paste swallows everything up to its end: one whose end never comes (its
// opener typed, or its end lost) is dropped after the same pause, or
// Escape and Ctrl-C would never be read again.
bool in_sequence(const SequenceParser& s, bool keyboard_protocol) {
    return s.state == DecodeState::paste ||
           (!keyboard_protocol &&
            (s.state == DecodeState::csi || s.state == DecodeState::ss3 || s.state == DecodeState::mouse));
}

}  // namespace

SequenceToken SequenceParser::read(uint8_t b, uint32_t now_ms) {
    if (state == DecodeState::ground) {
        if (b == esc) {
            state = DecodeState::escape;
            escape_ms = now_ms;
            return {};
        }
        return {.kind = SequenceToken::plain, .byte = b};
    }
    sequence_ms = now_ms;
    if (state == DecodeState::paste) {
        paste_byte(*this, b);
        return {};
    }
    if (state == DecodeState::mouse) {
        if (--mouse_left == 0) {
            state = DecodeState::ground;
        }
        return {};
    }
    // Inside a sequence: ESC starts a new one, CAN and SUB abandon it,
    // Ctrl-C still counts.
    if (b == esc) {
        state = DecodeState::escape;
        escape_ms = now_ms;
        return {};
    }
    if (b == cancel || b == substitute) {
        state = DecodeState::ground;
        return {};
    }
    if (b == ctrl_c) {
        return {.kind = SequenceToken::interrupt};
    }
    switch (state) {
        case DecodeState::escape:
            escape_byte(*this, b);
            break;
        case DecodeState::csi:
            if (b >= 0x20) {
                return csi_byte(*this, b);
            }
            break;
        case DecodeState::ss3:
            if (b >= 0x20) {
                ss3_byte(*this, b);
            }
            break;
        default:
            break;
    }
    return {};
}

bool SequenceParser::expire(uint32_t now_ms, bool keyboard_protocol) {
    if (state == DecodeState::escape && !keyboard_protocol && now_ms - escape_ms >= lone_escape_ms) {
        state = DecodeState::ground;
        return true;
    }
    if (in_sequence(*this, keyboard_protocol) && now_ms - sequence_ms >= sequence_gap_ms) {
        state = DecodeState::ground;
    }
    return false;
}

int32_t SequenceParser::ms_until_due(uint32_t now_ms, bool keyboard_protocol) const {
    if (state == DecodeState::escape && !keyboard_protocol) {
        return ms_left(escape_ms, lone_escape_ms, now_ms);
    }
    if (in_sequence(*this, keyboard_protocol)) {
        return ms_left(sequence_ms, sequence_gap_ms, now_ms);
    }
    return -1;
}

}  // namespace pluck
