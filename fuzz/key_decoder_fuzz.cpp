// libFuzzer target for the keyboard decoder. The first byte picks the
// terminal kind and how the rest is cut into reads. Whatever the bytes:
// the decoder's state stays inside its bounds; cutting the input into reads
// changes nothing when they come at the same moment; and the time it says to
// wait for is exactly when its timing rules next change a reading.
// Also built with g++ into a test that replays the corpus.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <tuple>

#include "fuzz/require.h"
#include "keys/key_decoder.h"
#include "play/note_keys.h"

namespace {

using pluck::KeyDecoder;

void require_bounded(const KeyDecoder& d) {
    using namespace pluck;
    const SequenceParser& p = d.parser;
    const NoteBytes& note = d.repeats.note;
    const KeyboardRepeat& keyboard = d.repeats.keyboard;
    require(d.readings.pressed <= 0xffu && p.parameters.length <= max_sequence_bytes && p.mouse_left <= 3 &&
            p.paste_matched < 6 && d.protocol_keys.count <= max_keys_down && note.key >= -1 &&
            note.key < note_key_count && (note.run == NoteRun::none) == (note.key < 0) &&
            (keyboard.delay_ms == 0 ||
             (keyboard.delay_ms >= repeat_delay_min_ms && keyboard.delay_ms <= repeat_delay_max_ms)) &&
            keyboard.interval_ms <= repeat_interval_max_ms);
}

// What the decoder tells the main loop.
auto readings(const KeyDecoder& d) {
    return std::tuple(d.readings.pressed, d.readings.quit, d.readings.suspend, d.protocol_keys.space,
                      d.repeats.space.held, d.parser.state, d.replies.protocol, d.replies.attributes,
                      d.repeats.note.run, d.protocol_keys.count);
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
    uint32_t seed = control;  // for cut lengths and gaps
    auto next = [&seed] { return (seed = seed * 1664525u + 1013904223u) >> 16; };
    uint32_t now = start_ms;
    for (size_t at = 0; at < count;) {
        const size_t length = std::min<size_t>(1 + next() % 16, count - at);
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
            require(readings(early) == readings(timed));
        }
        if (wait >= 0) {  // and something does at it
            KeyDecoder due = timed;
            pluck::decode_timeouts(due, now + static_cast<uint32_t>(wait));
            require(readings(due) != readings(timed));
        }
        now += next() % (control & 2 ? 800 : 40);
        pluck::decode_timeouts(timed, now);
    }
    require(readings(whole) == readings(cut));
    return 0;
}
