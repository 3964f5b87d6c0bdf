// libFuzzer target for the keyboard decoder. The first byte picks the
// terminal kind and how the rest is cut into reads. Whatever the bytes:
// the decoder's state stays inside its bounds; cutting the input into reads
// changes nothing when they come at the same moment; and the time it says to
// wait for is exactly when its timing rules next change a reading.
// Also built with g++ into a test that replays the corpus.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "control/key_decoder.h"

namespace {

using pluck::KeyDecoder;

void require(bool holds) {
    if (!holds) {
        std::abort();
    }
}

void require_bounded(const KeyDecoder& d) {
    require(d.pressed <= 0xffu);
    require(d.sequence_length <= pluck::max_sequence_bytes);
    require(d.mouse_left <= 3);
    require(d.paste_matched < 6);
    require(d.keys_down_count <= pluck::max_keys_down);
    require(d.run_key >= -1 && d.run_key < pluck::note_key_count);
    require((d.run == pluck::NoteRun::none) == (d.run_key < 0));
    require(d.repeat_delay_ms == 0 || (d.repeat_delay_ms >= pluck::repeat_delay_min_ms &&
                                       d.repeat_delay_ms <= pluck::repeat_delay_max_ms));
    require(d.repeat_interval_ms <= pluck::repeat_interval_max_ms);
}

bool same_readings(const KeyDecoder& a, const KeyDecoder& b) {
    return a.pressed == b.pressed && a.quit == b.quit && a.suspend == b.suspend &&
           a.space_exact == b.space_exact && a.space_repeating == b.space_repeating && a.state == b.state &&
           a.protocol_reply == b.protocol_reply && a.attributes_reply == b.attributes_reply &&
           a.run == b.run && a.keys_down_count == b.keys_down_count;
}

// A small generator for cut lengths and gaps, seeded by the input.
uint32_t next(uint32_t& seed) {
    seed = seed * 1664525u + 1013904223u;
    return seed >> 16;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const uint8_t control = data[0];
    const uint8_t* bytes = data + 1;
    const size_t count = size - 1;
    // Near the clock's wrap, so that every difference crosses it.
    const uint32_t start_ms = 0xfffffff0u;

    KeyDecoder whole;
    whole.keyboard_protocol = (control & 1) != 0;
    KeyDecoder cut = whole;
    KeyDecoder timed = whole;

    pluck::decode_keys(whole, bytes, count, start_ms);
    require_bounded(whole);

    // The same bytes in reads of 1-16 bytes: all at once (`cut`), and spread
    // over time with the timing rules applied at each moment (`timed`).
    uint32_t seed = control;
    uint32_t now = start_ms;
    for (size_t at = 0; at < count;) {
        const size_t length = std::min<size_t>(1 + next(seed) % 16, count - at);
        pluck::decode_keys(cut, bytes + at, length, start_ms);
        pluck::decode_keys(timed, bytes + at, length, now);
        require_bounded(cut);
        require_bounded(timed);
        at += length;
        const int32_t wait = pluck::ms_until_timeout(timed, now);
        require(wait >= -1 && wait <= static_cast<int32_t>(pluck::space_hold_first_ms));
        if (wait > 0) {  // nothing changes before the named moment
            KeyDecoder early = timed;
            pluck::decode_timeouts(early, now + static_cast<uint32_t>(wait) - 1);
            require(same_readings(early, timed));
        }
        if (wait >= 0) {  // and something does at it
            KeyDecoder due = timed;
            pluck::decode_timeouts(due, now + static_cast<uint32_t>(wait));
            require(!same_readings(due, timed));
        }
        now += next(seed) % (control & 2 ? 800 : 40);
        pluck::decode_timeouts(timed, now);
    }
    require(same_readings(whole, cut));
    pluck::take_pressed(timed);
    require(timed.pressed == 0);
    return 0;
}
