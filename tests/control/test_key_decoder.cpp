#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control/key_decoder.h"

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
    const uint32_t r =
        take_pressed(d) | (space_down(d) ? held : 0) | (d.quit ? quits : 0) | (d.suspend ? suspends : 0);
    d.suspend = false;
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

void play(bool protocol, const std::vector<Step>& steps) {
    KeyDecoder d;
    d.keyboard_protocol = protocol;
    for (size_t i = 0; i < steps.size(); ++i) {
        const Step& s = steps[i];
        if (s.bytes != nullptr) {
            feed(d, s.bytes, s.at_ms);
        } else {
            decode_timeouts(d, s.at_ms);
        }
        EXPECT_EQ(readings(d), s.expect) << "step " << i << " at " << s.at_ms << " ms";
        if (s.wait != unchecked) {
            EXPECT_EQ(ms_until_timeout(d, s.at_ms), s.wait) << "step " << i;
        }
    }
}

// One read, on either kind of terminal: its readings, then nothing left
// half-read: the next key decodes as usual.
TEST(KeyDecoder, SingleReads) {
    struct Case {
        bool protocol;
        std::string bytes;
        uint32_t expect;
    };
    const Case cases[] = {
        {true, "\x1b[122u\x1b[107u\x1b[99u", z | k | c},
        // Shift, Caps Lock, Num Lock (with an event field), Shift + Caps Lock.
        {true, "\x1b[118;2u\x1b[120;65u\x1b[99;129:1u\x1b[107;66u", v | x | c | k},
        {true, "\x1b[118;3u\x1b[118;5u\x1b[118;9u", 0},  // Alt, Ctrl, Super
        // Escape and Ctrl-C, also with lock bits; not their releases nor
        // other modifiers.
        {true, "\x1b[27u", quits},
        {true, "\x1b[27;1:1u", quits},
        {true, "\x1b[99;5u", quits},
        {true, "\x1b[99;69u", quits},
        {true, "\x1b[99;197:1u", quits},
        {true, "\x1b[27;1:3u\x1b[99;7u\x1b[99;5:3u\x1b[99;6u", 0},
        // Left Shift, Left Control, Caps Lock, Enter, an arrow, F5, a keypad
        // key, a modifier's release.
        {true, "\x1b[57441;2u\x1b[57442;5u\x1b[57358;65u\x1b[13u\x1b[1;1A\x1b[15~\x1b[57399u\x1b[57441;1:3u",
         0},
        // Far more parameter bytes than are kept: skipped, not cut short into
        // v; numbers beyond 32 bits; intermediate bytes; a high byte or DEL.
        {true, "\x1b[118" + std::string(500, '1') + "u", 0},
        {true, "\x1b[99999999999999999999;5u\x1b[118 u\x1b[ 118u\x1b[118\xc3u\x1b[118\x7fu", 0},
        // Sequences cut short by CAN, by a new ESC, a string by ESC.
        {true, "\x1b[11\x18v\x1b[11\x1b[107u\x1b]0;t\x1b[32u", v | k | held},
        {true, "\x1b[u\x1b[;u\x1b[;;;u\x1b[:::u", 0},
        // Plain bytes: upper case plays too.
        {false, "vZ", v | z},
        {false, "aq1\r\t", 0},
        {false, "\x03", quits},
        {false,
         "\x1b[1;\x03"
         "A",
         quits},  // even inside a sequence
        {false, "\x1a", suspends},
        // Arrows, Home, F1 (SS3 and CSI), Shift-F5, Alt-v, SGR and old mouse
        // reports (raw bytes " ", ESC, "k"), focus in.
        {false,
         "\x1b[A\x1b[1;2B\x1b[H\x1bOP\x1bO1;2Q\x1b[11~\x1b[15;2~\x1bv\x1b[<0;12;7M\x1b[<0;12;7m\x1b[M "
         "\x1bk\x1b[I",
         0},
        // Alt+], Alt+Shift+P, Alt+Shift+X, Alt+^, Alt+_: chords, not the
        // openers of terminal strings that would swallow every later key.
        {false, "\x1b]\x1bP\x1bX\x1b^\x1b_v", v},
        // Bracketed paste: discarded, even Escape and Ctrl-C inside it.
        {false, "\x1b[200~zxcv \x1b\x1b[27u\x03 \x1b\x1b[201~", 0},
    };
    for (const Case& t : cases) {
        SCOPED_TRACE(testing::PrintToString(t.bytes));
        KeyDecoder d;
        d.keyboard_protocol = t.protocol;
        feed(d, t.bytes, 0);
        EXPECT_EQ(readings(d), t.expect);
        decode_timeouts(d, 1000);
        EXPECT_EQ(d.state, DecodeState::ground);
        EXPECT_EQ(d.quit, (t.expect & quits) != 0);
        feed(d, t.protocol ? "\x1b[107u" : "k", 1001);
        EXPECT_EQ(take_pressed(d), k) << "the decoder did not read on";
    }
}

TEST(KeyDecoderProtocol, SpaceIsHeldFromPressToReleaseWhateverTheTime) {
    play(true, {{"\x1b[32u", 0, held},
                {"\x1b[32;1:2u\x1b[32;1:2u", 600, held},
                {after, 5000, held, -1},
                {"\x1b[32;1:3u", 5001, 0},
                {"\x1b[32u", 5002, held},
                {"\x1b[32;5:3u", 5003, 0},       // released with Ctrl down
                {"\x1b[32u\x1b[O", 5004, 0},     // focus lost
                {"\x1b[32;1:2u", 5005, held}});  // back, still held
}

TEST(KeyDecoderProtocol, NoteActsOnPressNeverOnRepeatOrRelease) {
    play(true, {{"\x1b[118u", 0, v},
                {"\x1b[118;1:2u\x1b[118;1:2u\x1b[118;1:3u", 1, 0},
                {"\x1b[118;1:1u", 2, v},
                {"\x1b[122;5u", 3, suspends},
                {"\x1b[122;5:2u\x1b[122;5:3u", 4, 0}});
}

TEST(KeyDecoderProtocol, LoneEscByteWaitsForTheRestOfItsSequence) {
    play(true, {{"\x1b", 0, 0, -1}, {after, 1000, 0}, {"[118u", 1500, v}});
    play(true, {{"\x1b[11", 0, 0, -1}, {after, 5000, 0}, {"8u", 5000, v}});
}

// Quitting or suspending waits for the releases still to come; a release
// made in another window is never seen, and memory for keys is bounded.
TEST(KeyDecoderProtocol, KeysAreDownFromPressToRelease) {
    KeyDecoder d;
    d.keyboard_protocol = true;
    feed(d, "\x1b[57442;5u\x1b[99;5u", 0);  // Left Control, then C: Ctrl-C
    EXPECT_TRUE(d.quit);
    EXPECT_TRUE(keys_held(d));
    feed(d, "\x1b[99;5:3u\x1b[107;1:3u", 1);
    EXPECT_TRUE(keys_held(d));
    feed(d, "\x1b[57442;1:3u", 2);
    EXPECT_FALSE(keys_held(d));
    feed(d, "\x1b[27u\x1b[27;1:2u\x1b[32u\x1b[O", 3);
    EXPECT_FALSE(keys_held(d));
    std::string presses, releases;
    for (int code = 97; code < 97 + 2 * static_cast<int>(max_keys_down); ++code) {
        presses += "\x1b[" + std::to_string(code) + "u";
        releases += "\x1b[" + std::to_string(code) + ";1:3u";
    }
    feed(d, presses, 4);
    EXPECT_TRUE(keys_held(d));
    feed(d, releases, 5);
    EXPECT_FALSE(keys_held(d));
}

TEST(KeyDecoderProtocol, SupportIsAReplyBeforeTheAttributes) {
    for (const auto& [answer, support] :
         {std::pair{"\x1b[?0u\x1b[?62;22c", true}, std::pair{"\x1b[?62c\x1b[?0u", false},
          std::pair{"\x1b[?1;2c", false}}) {
        KeyDecoder d;
        feed(d, answer, 0);
        EXPECT_EQ(d.protocol_reply, support) << testing::PrintToString(std::string(answer));
        EXPECT_TRUE(d.attributes_reply);
        EXPECT_EQ(readings(d), 0u);
    }
}

// A held key sends a byte, another after the keyboard's repeat delay, then
// one every repeat interval. A second byte about one delay after the press
// waits for the repeat rhythm: if it follows, the key is held; if not, the
// byte was a new press.
TEST(KeyDecoderPlain, HeldNoteKeyPlucksOnceAndTeachesTheRepeatTiming) {
    constexpr uint32_t unknown_limit = repeat_interval_unknown_ms + repeat_interval_slack_ms;
    constexpr uint32_t limit = 33 + repeat_interval_slack_ms;  // once 33 ms repeats are seen
    play(false, {{"v", 1000, v, -1},
                 {"v", 1500, 0, unknown_limit},  // about a repeat delay: wait and see
                 {"V", 1533, 0, -1},             // the rhythm: delay 500, interval 33 learned
                 {"v", 1566, 0},
                 {"v", 1566 + limit, v},  // too late for a repeat: pressed again
                 // The learned delay, give or take its tolerance, waits; a
                 // byte nothing follows is a press, late by one repeat limit.
                 {"v", 1629 + 500 - repeat_delay_tolerance_ms, 0, limit},
                 {after, 2089 + limit - 1, 0},
                 {after, 2089 + limit, v},
                 // Outside the learned delay's window: a press at once.
                 {"v", 2089 + 500 + repeat_delay_tolerance_ms + 1, v},
                 {"v", 2630 + 500 - repeat_delay_tolerance_ms - 1, v}});
}

TEST(KeyDecoderPlain, OnlyTheLastKeyRepeatsAndQuickPressesArePresses) {
    play(false, {{"v", 0, v},
                 {"z", 300, z},
                 {"v", 500, v},  // z came between: v cannot be repeating
                 {"v", 1000, 0},
                 {"a", 1010, v},  // another key: the waiting v was a press
                 // Two presses 98 ms apart, and 30 ms apart; closer than
                 // that, a repeat (reads bunched up).
                 {"k", 2000, k},
                 {"k", 2098, k},
                 {"k", 2098 + retap_min_ms, k},
                 {"k", 2128 + retap_min_ms - 1, 0},
                 {"cc", 5000, c},
                 {"c", 5040, 0}});
    // Across the clock's wrap.
    play(false, {{"v", 0xffffffe0u, v}, {"v", 468, 0}, {"v", 501, 0}, {"v", 1000, v}});
}

TEST(KeyDecoderPlain, SpaceHoldTeachesTheRepeatTimingButTapsDoNot) {
    constexpr uint32_t limit = 30 + repeat_interval_slack_ms;
    play(false, {{" ", 0, held},
                 {" ", 400, held},
                 {" ", 430, held},  // delay 400, interval 30
                 {after, 520, 0},
                 {"v", 1000, v},
                 {"v", 1400, 0, limit},
                 {after, 1400 + limit, v},
                 {"v", 2000, v},
                 {"v", 2400, 0},
                 {"v", 2430, 0},
                 {"v", 2460, 0},
                 {"v", 2460 + limit, v}});
    // Three taps: no rhythm, nothing learned; 250 ms is no learned delay's
    // neighbour, but still a possible one.
    play(false, {{" ", 0, held},
                 {" ", 400, held},
                 {" ", 600, held},
                 {after, 1300, 0},
                 {"v", 2000, v},
                 {"v", 2250, 0, repeat_interval_unknown_ms + repeat_interval_slack_ms}});
}

// A keyboard typing one note key on a plain terminal, its repeats a few
// milliseconds off the beat; counts the plucks.
struct Keyboard {
    uint32_t delay_ms = 0;
    uint32_t interval_ms = 0;
    KeyDecoder d;
    int plucks = 0;
    size_t beat = 0;

    void look(uint32_t at_ms) {
        decode_timeouts(d, at_ms);
        plucks += take_pressed(d) != 0;
    }
    void type(uint32_t at_ms) {
        look(at_ms);
        feed(d, "m", at_ms);
        plucks += take_pressed(d) != 0;
    }
    // Holds the key from `from_ms` for `for_ms`; returns its last byte's time.
    uint32_t hold(uint32_t from_ms, uint32_t for_ms) {
        static constexpr int jitter[] = {0, 6, -4, 3, -7, 2};
        type(from_ms);
        uint32_t last = from_ms;
        for (uint32_t at = from_ms + delay_ms; at < from_ms + for_ms; at += interval_ms) {
            last = static_cast<uint32_t>(static_cast<int>(at) + jitter[beat++ % 6]);
            type(last);
        }
        return last;
    }
};

// Every realistic keyboard (delay 250-660 ms, 25-33 repeats a second): a
// held note plucks once, before and after its timing is learned; a new
// press after a hold plucks at once; a press landing right on the repeat
// delay is late by at most a repeat interval and its slack, never lost.
TEST(KeyDecoderPlain, RealisticKeyboardsPluckOncePerPress) {
    for (const auto& [delay, interval] : {std::pair{250u, 30u}, std::pair{250u, 40u}, std::pair{500u, 33u},
                                          std::pair{600u, 30u}, std::pair{660u, 40u}, std::pair{660u, 25u}}) {
        SCOPED_TRACE(testing::Message() << "delay " << delay << " ms, interval " << interval << " ms");
        Keyboard kb;
        kb.delay_ms = delay;
        kb.interval_ms = interval;
        uint32_t last = kb.hold(1000, 2000);
        kb.look(last + 1000);
        EXPECT_EQ(kb.plucks, 1) << "first hold";
        EXPECT_NEAR(kb.d.repeat_delay_ms, delay, 10);
        EXPECT_NEAR(kb.d.repeat_interval_ms, interval, 5);
        kb.type(last + 150);
        EXPECT_EQ(kb.plucks, 2) << "pressed again 150 ms after the hold";
        last = kb.hold(last + 1000, 2000);
        kb.look(last + 1000);
        EXPECT_EQ(kb.plucks, 3) << "second hold";
        const uint32_t again = last + 2000 + delay;
        kb.type(last + 2000);
        kb.type(again);
        uint32_t at = again;
        while (kb.plucks < 5 && at < again + 1000) {
            kb.look(++at);
        }
        EXPECT_EQ(kb.plucks, 5);
        EXPECT_LE(at - again, kb.d.repeat_interval_ms + repeat_interval_slack_ms)
            << "pressed again one repeat delay later";
    }
}

// A plain terminal sends a sequence in one burst; the same bytes typed
// (Alt+[ then more keys) come with pauses, and must not leave the keys dead.
TEST(KeyDecoderPlain, TypedSequenceOpenersLeaveNoKeyDead) {
    play(false, {{"\x1b[", 0, 0, sequence_gap_ms}, {"2", 150, 0}, {"00~", 300, 0, -1}, {"v", 450, v}});
    play(false, {{"\x1b[200~", 0, 0, sequence_gap_ms},
                 {"v\x03", 50, 0},
                 {"\x1b", 150, 0, lone_escape_ms},
                 {after, 180, quits}});
    play(false, {{"\x1b[M", 0, 0}, {"\x03", sequence_gap_ms, quits}});
    // A real paste, in reads close together, stays a paste.
    play(false, {{"\x1b[200~zx", 0, 0}, {"cv\x1b[201", 99, 0}, {"~k", 198, k}});
}

TEST(KeyDecoderPlain, LoneEscIsEscapeOnceNothingFollowsInTime) {
    play(false,
         {{"\x1b", 0, 0, lone_escape_ms}, {after, lone_escape_ms - 1, 0}, {after, lone_escape_ms, quits}});
    // A byte after the timeout, with nobody looking in between: still Escape.
    play(false, {{"\x1b", 0, 0}, {"v", lone_escape_ms + 5, v | quits}});
    // The rest of a sequence within the timeout: not Escape.
    play(false,
         {{"\x1b", 0, 0}, {after, lone_escape_ms - 1, 0}, {"[A", lone_escape_ms - 1, 0}, {after, 1000, 0}});
}

// Every split of a stream into two reads decodes as the whole stream does.
TEST(KeyDecoder, EveryCutPointGivesTheSameReadings) {
    const std::string stream =
        "\x1b[118u\x1b[32;1:1u\x1b[200~xx\x1b[201~\x1b[<0;1;1M\x1b[?0u\x1b[122;2u\x1b]0;t\x1b\\\x1b[99;1:3u";
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        KeyDecoder d;
        d.keyboard_protocol = true;
        feed(d, stream.substr(0, cut), 0);
        feed(d, stream.substr(cut), 5);
        EXPECT_EQ(readings(d), v | z | held) << "cut at " << cut;
        EXPECT_TRUE(d.protocol_reply) << "cut at " << cut;
        EXPECT_EQ(d.state, DecodeState::ground) << "cut at " << cut;
    }
}

TEST(KeyDecoder, ReleaseKeysForgetsHeldKeysAndHalfSequences) {
    KeyDecoder d;
    d.keyboard_protocol = true;
    feed(d, "\x1b[32u\x1b[118u\x1b[12", 0);
    release_keys(d);
    EXPECT_EQ(readings(d), 0u);
    EXPECT_TRUE(d.keyboard_protocol);
    feed(d, "2u", 1);  // the rest of the cut sequence is no key now
    EXPECT_EQ(readings(d), 0u);
}

}  // namespace
}  // namespace pluck
