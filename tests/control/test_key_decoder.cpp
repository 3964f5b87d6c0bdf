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
        // Arrows, Home, F1 (SS3 and CSI), Shift-F5, Alt-v, OSC answers, SGR
        // and old mouse reports (raw bytes " ", ESC, "k"), focus in.
        {false,
         "\x1b[A\x1b[1;2B\x1b[H\x1bOP\x1bO1;2Q\x1b[11~\x1b[15;2~\x1bv\x1b]11;rgb:0000/0000/0000\x07"
         "\x1b]0;zxcv\x1b\\\x1b[<0;12;7M\x1b[<0;12;7m\x1b[M \x1bk\x1b[I",
         0},
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

TEST(KeyDecoderPlain, SameKeyWithinTheRepeatWindowIsAutoRepeat) {
    // Repeats chain from byte to byte; a pause ends the hold; two bytes of
    // one key in one read are a press and a repeat.
    play(false, {{"v", 1000, v},
                 {"v", 1090, 0},
                 {"v", 1180, 0},
                 {"V", 1180 + note_repeat_window_ms - 1, 0},
                 {"zk", 1300, z | k},
                 {"v", 1500, v},
                 {"cc", 5000, c}});
    play(false, {{"v", 0xffffffe0u, v}, {"v", 0x10u, 0}, {"v", 0x10u + note_repeat_window_ms, v}});
}

TEST(KeyDecoderPlain, SpaceHeldThroughTheFirstRepeatDelayThenByRepeatInterval) {
    // Repeats every 40 ms: held for three intervals after the last one.
    play(false, {{" ", 0, held, space_hold_first_ms},
                 {after, 600, held},
                 {" ", 600, held},
                 {" ", 640, held},
                 {" ", 680, held, 120},
                 {after, 799, held},
                 {after, 800, 0, -1}});
    // A single tap, with a note during it (which does not end the hold).
    play(false, {{" ", 100, held}, {"v", 110, v | held}, {after, 799, held}, {after, 800, 0}});
    // Repeats bunched into one read.
    play(false, {{" ", 0, held}, {"   ", 500, held, space_hold_min_ms}, {after, 589, held}, {after, 590, 0}});
    // Focus lost.
    play(false, {{" ", 0, held}, {"\x1b[O", 10, 0}});
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
