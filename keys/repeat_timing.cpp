#include "keys/repeat_timing.h"

#include "keys/time_left.h"

namespace pluck {

namespace {

uint32_t bit(int32_t key) {
    return 1u << key;
}

// How long after a byte of a repeating key the next repeat may come.
uint32_t repeat_limit_ms(const KeyboardRepeat& r) {
    const uint32_t interval = r.interval_ms != 0 ? r.interval_ms : repeat_interval_unknown_ms;
    return interval + repeat_interval_slack_ms;
}

// Whether a second byte `gap_ms` after a press may be the keyboard starting
// to repeat.
bool about_the_repeat_delay(const KeyboardRepeat& r, uint32_t gap_ms) {
    if (r.delay_ms == 0) {
        return gap_ms >= repeat_delay_min_ms && gap_ms <= repeat_delay_max_ms;
    }
    return gap_ms + repeat_delay_tolerance_ms >= r.delay_ms &&
           gap_ms <= r.delay_ms + repeat_delay_tolerance_ms;
}

// A gap between two repeats refines the interval; bunched-up reads and
// stalls say nothing about it.
void learn_interval(KeyboardRepeat& r, uint32_t gap_ms) {
    if (r.delay_ms == 0 || gap_ms < repeat_interval_min_ms || gap_ms > repeat_interval_max_ms) {
        return;
    }
    r.interval_ms = (3 * r.interval_ms + gap_ms + 2) / 4;
}

// A hold's first gap and the one after it, if they look like a keyboard's
// repeat delay and interval.
void learn_repeat_timing(KeyboardRepeat& r, uint32_t delay_ms, uint32_t interval_ms) {
    if (delay_ms < repeat_delay_min_ms || delay_ms > repeat_delay_max_ms ||
        interval_ms < repeat_interval_min_ms || interval_ms > repeat_interval_max_ms ||
        delay_ms < 2 * interval_ms) {
        return;
    }
    const bool first = r.delay_ms == 0;
    r.delay_ms = delay_ms;
    if (first) {
        r.interval_ms = interval_ms;
    } else {
        learn_interval(r, interval_ms);
    }
}

uint32_t note_press(NoteBytes& n, int32_t key, uint32_t now_ms) {
    n.key = static_cast<int8_t>(key);
    n.run = NoteRun::pressed;
    n.press_ms = now_ms;
    n.last_ms = now_ms;
    return bit(key);
}

// How long a plain-byte Space stays held after its latest byte. The first
// gap is the keyboard's delay before repeating; from the second on, the gaps
// are its repeat interval.
uint32_t space_hold_ms(const SpaceBytes& s) {
    if (s.count < 3) {
        return space_hold_first_ms;
    }
    uint32_t hold =
        s.gap_ms > space_hold_first_ms ? space_hold_first_ms : s.gap_ms * space_hold_repeat_intervals;
    if (hold < space_hold_min_ms) {
        hold = space_hold_min_ms;
    }
    return hold > space_hold_first_ms ? space_hold_first_ms : hold;
}

}  // namespace

uint32_t RepeatTiming::note_byte(int32_t key, uint32_t now_ms) {
    if (note.run == NoteRun::none || note.key != key) {
        const uint32_t pending = other_byte();
        return pending | note_press(note, key, now_ms);
    }
    const uint32_t gap = now_ms - note.last_ms;
    switch (note.run) {
        case NoteRun::pressed:
            if (gap < retap_min_ms) {
                note.run = NoteRun::repeating;  // reads bunched up
            } else if (about_the_repeat_delay(keyboard, gap)) {
                note.run = NoteRun::pending;
            } else {
                return note_press(note, key, now_ms);
            }
            break;
        case NoteRun::pending:
            // Within the repeat interval of the pending byte (the timeouts
            // run before every read): the keyboard is repeating.
            learn_repeat_timing(keyboard, note.last_ms - note.press_ms, gap);
            note.run = NoteRun::repeating;
            break;
        default:  // repeating
            if (gap >= repeat_limit_ms(keyboard)) {
                return note_press(note, key, now_ms);
            }
            learn_interval(keyboard, gap);
            break;
    }
    note.last_ms = now_ms;
    return 0;
}

// Another key came (the keyboard repeats only the last one), or the repeat
// rhythm did not: a second byte still waiting was a press after all.
uint32_t RepeatTiming::other_byte() {
    const uint32_t pressed = note.run == NoteRun::pending ? bit(note.key) : 0;
    note.run = NoteRun::none;
    note.key = -1;
    return pressed;
}

void RepeatTiming::space_byte(uint32_t now_ms) {
    if (space.held) {
        space.gap_ms = now_ms - space.last_ms;
        if (space.count < 0xffffffffu) {
            ++space.count;
        }
        if (space.count == 2) {
            space.first_gap_ms = space.gap_ms;
        } else if (space.count == 3) {
            learn_repeat_timing(keyboard, space.first_gap_ms, space.gap_ms);
        } else {
            learn_interval(keyboard, space.gap_ms);
        }
    } else {
        space.held = true;
        space.count = 1;
        space.gap_ms = 0;
        space.first_gap_ms = 0;
    }
    space.last_ms = now_ms;
}

uint32_t RepeatTiming::expire(uint32_t now_ms) {
    uint32_t pressed = 0;
    if (note.run == NoteRun::pending && now_ms - note.last_ms >= repeat_limit_ms(keyboard)) {
        pressed = bit(note.key);
        // The pending byte was the press; the next one is measured from it.
        note.run = NoteRun::pressed;
        note.press_ms = note.last_ms;
    }
    if (space.held && now_ms - space.last_ms >= space_hold_ms(space)) {
        space.held = false;
    }
    return pressed;
}

int32_t RepeatTiming::ms_until_due(uint32_t now_ms) const {
    int32_t wait = -1;
    if (note.run == NoteRun::pending) {
        wait = ms_left(note.last_ms, repeat_limit_ms(keyboard), now_ms);
    }
    if (space.held) {
        wait = sooner(wait, ms_left(space.last_ms, space_hold_ms(space), now_ms));
    }
    return wait;
}

void RepeatTiming::release() {
    const KeyboardRepeat learned = keyboard;
    *this = RepeatTiming{};
    keyboard = learned;
}

}  // namespace pluck
