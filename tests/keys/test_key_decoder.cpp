#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "keys/key_decoder.h"

namespace pluck {
namespace {

constexpr uint32_t z = 1u << 0, x = 1u << 1, c = 1u << 2, v = 1u << 3, k = 1u << 7;
// All readings in one number: the note bits, then these.
constexpr uint32_t held = 1u << 8, quits = 1u << 9, suspends = 1u << 10;
constexpr int32_t unchecked = -2;
constexpr const char* after = nullptr;  // a step with no bytes: only time passes

void feed(KeyDecoder& d, const std::string& bytes, uint32_t now_ms) {
    decode_keys(d, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), now_ms);
}

uint32_t readings(KeyDecoder& d) {
    const uint32_t r = take_pressed(d) | (space_down(d) ? held : 0) | (d.readings.quit ? quits : 0) |
                       (d.readings.suspend ? suspends : 0);
    d.readings.suspend = false;
    return r;
}

// One read (`bytes`) or a look at the clock (`after`) at `at_ms`, and the
// readings and wait until the next timeout (unless unchecked) it leaves.
struct Step {
    const char* bytes;
    uint32_t at_ms;
    uint32_t expect;
    int32_t wait = unchecked;
};

// Its name begins with the kind of terminal: "protocol" (the keyboard
// protocol's events) or "plain" (bytes alone).
struct Timeline {
    std::string name;
    std::vector<Step> steps;
};

// Reads and looks at the clock over time, on one terminal each: the
// readings after each step and, where given, the wait it leaves. Then
// nothing is left half-read: the next key decodes as usual.
void play(const std::vector<Timeline>& timelines) {
    for (const Timeline& t : timelines) {
        SCOPED_TRACE(t.name);
        KeyDecoder d;
        d.keyboard_protocol = t.name.starts_with("protocol");
        for (const Step& s : t.steps) {
            if (s.bytes != nullptr) {
                feed(d, s.bytes, s.at_ms);
            } else {
                decode_timeouts(d, s.at_ms);
            }
            EXPECT_EQ(readings(d), s.expect) << "at " << s.at_ms << " ms";
            if (s.wait != unchecked) {
                EXPECT_EQ(ms_until_timeout(d, s.at_ms), s.wait) << "at " << s.at_ms << " ms";
            }
        }
        const uint32_t end_ms = t.steps.back().at_ms + 2000;
        decode_timeouts(d, end_ms);
        readings(d);
        EXPECT_EQ(d.parser.state, DecodeState::ground);
        feed(d, d.keyboard_protocol ? "\x1b[107u" : "k", end_ms + 1);
        EXPECT_EQ(take_pressed(d), k) << "the decoder did not read on";
    }
}

// One read, on either kind of terminal, and its readings.
TEST(KeyDecoder, SingleReads) {
    // Far more parameter bytes than are kept: skipped, not cut short into v.
    const std::string long_sequence = "\x1b[118" + std::string(500, '1') + "u";
    play({
        {"protocol", {{"\x1b[122u\x1b[107u\x1b[99u", 0, z | k | c}}},
        {"protocol: Shift, Caps Lock, Num Lock (with an event field), Shift + Caps Lock",
         {{"\x1b[118;2u\x1b[120;65u\x1b[99;129:1u\x1b[107;66u", 0, v | x | c | k}}},
        {"protocol: Alt, Ctrl, Super", {{"\x1b[118;3u\x1b[118;5u\x1b[118;9u", 0, 0}}},
        // Escape and Ctrl-C, also with lock bits; not their releases nor
        // other modifiers.
        {"protocol: Escape", {{"\x1b[27;1:1u", 0, quits}}},
        {"protocol: Ctrl-C", {{"\x1b[99;197:1u", 0, quits}}},
        {"protocol: releases", {{"\x1b[27;1:3u\x1b[99;7u\x1b[99;5:3u\x1b[99;6u", 0, 0}}},
        {"protocol: modifiers alone, Enter, an arrow, F5, a keypad key",
         {{"\x1b[57441;2u\x1b[57358;65u\x1b[13u\x1b[1;1A\x1b[15~\x1b[57399u", 0, 0}}},
        {"protocol: long", {{long_sequence.c_str(), 0, 0}}},
        // Numbers beyond 32 bits; intermediate bytes; a high byte or DEL.
        {"protocol: odd",
         {{"\x1b[99999999999999999999;5u\x1b[118 u\x1b[ 118u\x1b[118\xc3u\x1b[118\x7fu", 0, 0}}},
        {"protocol: sequences cut short by CAN, by a new ESC, a string by ESC",
         {{"\x1b[11\x18v\x1b[11\x1b[107u\x1b]0;t\x1b[32u", 0, v | k | held}}},
        {"plain", {{"vZaq1\r\t", 0, v | z}}},
        {"plain: Ctrl-C even inside a sequence", {{"\x1b[1;\x03", 0, quits}}},
        {"plain: Ctrl-Z", {{"\x1a", 0, suspends}}},
        // Arrows, Home, F1 (SS3 and CSI), Shift-F5, Alt-v, SGR and old mouse
        // reports (raw bytes " ", ESC, "k"), focus in.
        {"plain: sequences",
         {{"\x1b[A\x1b[1;2B\x1b[H\x1bOP\x1bO1;2Q\x1b[15;2~\x1bv\x1b[<0;12;7M\x1b[M \x1bk\x1b[I", 0, 0}}},
        // Alt+], Alt+Shift+P, Alt+Shift+X, Alt+^, Alt+_: chords, not the
        // openers of terminal strings that would swallow every later key.
        {"plain: chords", {{"\x1b]\x1bP\x1bX\x1b^\x1b_v", 0, v}}},
        // Bracketed paste: discarded, even Escape and Ctrl-C inside it.
        {"plain: paste", {{"\x1b[200~zxcv \x1b\x1b[27u\x03 \x1b\x1b[201~", 0, 0}}},
    });
}

// The keyboard protocol's events, and the timing of escape sequences.
TEST(KeyDecoder, SequenceTimelines) {
    play({
        {"protocol Space: held from press to release, whatever the time",
         {{"\x1b[32u", 0, held},
          {"\x1b[32;1:2u", 600, held},
          {after, 5000, held, -1},
          {"\x1b[32;1:3u", 5001, 0},
          {"\x1b[32u", 5002, held},
          {"\x1b[32;5:3u", 5003, 0},       // released with Ctrl down
          {"\x1b[32u\x1b[O", 5004, 0},     // focus lost
          {"\x1b[32;1:2u", 5005, held}}},  // back, still held
        {"protocol note: acts on its press, never on its repeats or release",
         {{"\x1b[118u", 0, v},
          {"\x1b[118;1:2u\x1b[118;1:2u\x1b[118;1:3u", 1, 0},
          {"\x1b[118;1:1u", 2, v},
          {"\x1b[122;5u", 3, suspends},
          {"\x1b[122;5:2u\x1b[122;5:3u", 4, 0}}},
        {"protocol: a lone ESC byte waits for its sequence, however long",
         {{"\x1b", 0, 0, -1}, {after, 1000, 0}, {"[118u", 1500, v}}},
        {"protocol: a paste whose end never comes ends as on a plain terminal",
         {{"\x1b[200~v", 0, 0, sequence_gap_ms},
          {"\x1b[27u", 99, 0, sequence_gap_ms},
          {"\x1b[99;5u", 99 + sequence_gap_ms, quits}}},
        // A plain terminal sends a sequence in one burst; the same bytes
        // typed (Alt+[ then more keys) come with pauses, and must not leave
        // the keys dead.
        {"plain: a typed Alt+[ 200~ leaves no key dead",
         {{"\x1b[", 0, 0, sequence_gap_ms}, {"2", 150, 0}, {"00~", 300, 0, -1}, {"v", 450, v}}},
        {"plain: a typed paste opener leaves Escape alive",
         {{"\x1b[200~", 0, 0, sequence_gap_ms},
          {"v\x03", 50, 0},
          {"\x1b", 150, 0, lone_escape_ms},
          {after, 180, quits}}},
        {"plain: a cut mouse report leaves Ctrl-C alive",
         {{"\x1b[M", 0, 0}, {"\x03", sequence_gap_ms, quits}}},
        {"plain: a real paste, in reads close together, stays a paste",
         {{"\x1b[200~zx", 0, 0}, {"cv\x1b[201", 99, 0}, {"~k", 198, k}}},
        {"plain: a lone ESC is Escape once nothing follows in time",
         {{"\x1b", 0, 0, lone_escape_ms}, {after, lone_escape_ms - 1, 0}, {after, lone_escape_ms, quits}}},
        {"plain: a byte after the timeout, nobody looking between: still Escape",
         {{"\x1b", 0, 0}, {"v", lone_escape_ms + 5, v | quits}}},
        {"plain: the rest of a sequence within the timeout is no Escape",
         {{"\x1b", 0, 0}, {"[A", lone_escape_ms - 1, 0}, {after, 1000, 0}}},
    });
}

// Plain bytes: presses and a held Space from their timing.
TEST(KeyDecoder, RepeatTimelines) {
    constexpr uint32_t unknown_limit = repeat_interval_unknown_ms + repeat_interval_slack_ms;
    constexpr uint32_t limit33 = 33 + repeat_interval_slack_ms;
    constexpr uint32_t limit30 = 30 + repeat_interval_slack_ms;
    play({
        // A held key sends a byte, another after the keyboard's repeat delay,
        // then one every repeat interval. A second byte about one delay after
        // the press waits for the repeat rhythm: if it follows, the key is
        // held; if not, the byte was a new press.
        {"plain: a held note plucks once and teaches the repeat timing",
         {{"v", 1000, v, -1},
          {"v", 1500, 0, unknown_limit},  // about a repeat delay: wait and see
          {"V", 1533, 0, -1},             // the rhythm: delay 500, interval 33 learned
          {"v", 1566, 0},
          {"v", 1566 + limit33, v},  // too late for a repeat: pressed again
          {"v", 1629 + 500 - repeat_delay_tolerance_ms, 0, limit33},
          {after, 2089 + limit33 - 1, 0},
          {after, 2089 + limit33, v},  // nothing followed: a press, late by one limit
                                       // Outside the learned delay's window: a press at once.
          {"v", 2089 + 500 + repeat_delay_tolerance_ms + 1, v},
          {"v", 2630 + 500 - repeat_delay_tolerance_ms - 1, v}}},
        {"plain: only the last key repeats; quick presses are presses",
         {{"v", 0, v},
          {"z", 300, z},
          {"v", 500, v},  // z came between: v cannot be repeating
          {"v", 1000, 0},
          {"a", 1010, v},  // another key: the waiting v was a press
                           // Two presses 98 ms apart, and 30 ms apart; closer than that, a
                           // repeat (reads bunched up).
          {"k", 2000, k},
          {"k", 2098, k},
          {"k", 2098 + retap_min_ms, k},
          {"k", 2128 + retap_min_ms - 1, 0},
          {"cc", 5000, c}}},
        {"plain: across the clock's wrap",
         {{"v", 0xffffffe0u, v}, {"v", 468, 0}, {"v", 501, 0}, {"v", 1000, v}}},
        {"plain: a Space hold teaches the repeat timing",
         {{" ", 0, held},
          {" ", 400, held},
          {" ", 430, held},  // delay 400, interval 30
          {after, 520, 0},
          {"v", 1000, v},
          {"v", 1400, 0, limit30},
          {after, 1400 + limit30, v},
          {"v", 2000, v},
          {"v", 2400, 0},
          {"v", 2430, 0},
          {"v", 2460 + limit30, v}}},
        // Three taps: no rhythm, nothing learned; 250 ms is no learned
        // delay's neighbour, but still a possible one.
        {"plain: Space taps teach nothing",
         {{" ", 0, held},
          {" ", 400, held},
          {" ", 600, held},
          {after, 1300, 0},
          {"v", 2000, v},
          {"v", 2250, 0, unknown_limit}}},
    });
}

}  // namespace
}  // namespace pluck
