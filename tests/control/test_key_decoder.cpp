#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "control/key_decoder.h"

namespace pluck {
namespace {

constexpr uint32_t bit_z = 1u << 0;
constexpr uint32_t bit_c = 1u << 2;
constexpr uint32_t bit_v = 1u << 3;
constexpr uint32_t bit_k = 1u << 7;

void feed(KeyDecoder& d, const std::string& bytes, uint32_t now_ms) {
    decode_keys(d, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), now_ms);
}

KeyDecoder kitty_decoder() {
    KeyDecoder d;
    d.keyboard_protocol = true;
    return d;
}

// --- Keyboard protocol --------------------------------------------------

TEST(KeyDecoderProtocol, SpaceIsHeldFromPressToReleaseThroughRepeats) {
    KeyDecoder d = kitty_decoder();
    feed(d, "\x1b[32u", 0);
    EXPECT_TRUE(space_down(d));
    feed(d, "\x1b[32;1:2u\x1b[32;1:2u", 600);
    decode_timeouts(d, 5000);  // no timing rule applies to exact events
    EXPECT_TRUE(space_down(d));
    feed(d, "\x1b[32;1:3u", 5001);
    EXPECT_FALSE(space_down(d));
    EXPECT_EQ(take_pressed(d), 0u);
    EXPECT_FALSE(d.quit);
}

TEST(KeyDecoderProtocol, NoteActsOnPressOnlyNeverOnRepeatOrRelease) {
    KeyDecoder d = kitty_decoder();
    feed(d, "\x1b[118u", 0);  // v, press with the event field left out
    EXPECT_EQ(take_pressed(d), bit_v);
    feed(d, "\x1b[118;1:2u\x1b[118;1:2u\x1b[118;1:3u", 1);
    EXPECT_EQ(take_pressed(d), 0u);
    // An explicit press, right after the release: a new press, however soon.
    feed(d, "\x1b[118;1:1u", 2);
    EXPECT_EQ(take_pressed(d), bit_v);
}

TEST(KeyDecoderProtocol, SeveralKeysInOneReadAllCount) {
    KeyDecoder d = kitty_decoder();
    feed(d, "\x1b[122u\x1b[107u\x1b[99u", 0);
    EXPECT_EQ(take_pressed(d), bit_z | bit_k | bit_c);
    EXPECT_EQ(take_pressed(d), 0u);  // taken once
}

TEST(KeyDecoderProtocol, ShiftAndLockBitsStillPlayCtrlAndAltDoNot) {
    KeyDecoder d = kitty_decoder();
    feed(d, "\x1b[118;2u", 0);  // Shift
    EXPECT_EQ(take_pressed(d), bit_v);
    feed(d, "\x1b[118;65u", 0);  // Caps Lock
    EXPECT_EQ(take_pressed(d), bit_v);
    feed(d, "\x1b[118;129:1u", 0);  // Num Lock
    EXPECT_EQ(take_pressed(d), bit_v);
    feed(d, "\x1b[118;66u", 0);  // Shift + Caps Lock
    EXPECT_EQ(take_pressed(d), bit_v);
    feed(d, "\x1b[118;3u\x1b[118;5u\x1b[118;9u", 0);  // Alt, Ctrl, Super
    EXPECT_EQ(take_pressed(d), 0u);
    EXPECT_FALSE(d.quit);
}

TEST(KeyDecoderProtocol, EscapeAndCtrlCQuitWithLockBitsMasked) {
    for (const char* quit : {"\x1b[27u", "\x1b[27;1:1u", "\x1b[99;5u", "\x1b[99;69u", "\x1b[99;197:1u"}) {
        KeyDecoder d = kitty_decoder();
        feed(d, quit, 0);
        EXPECT_TRUE(d.quit) << quit + 1;
        EXPECT_EQ(take_pressed(d), 0u) << quit + 1;
    }
    // Releases, and C with other modifiers, do not quit.
    for (const char* stay : {"\x1b[27;1:3u", "\x1b[99;7u", "\x1b[99;5:3u", "\x1b[99;6u"}) {
        KeyDecoder d = kitty_decoder();
        feed(d, stay, 0);
        EXPECT_FALSE(d.quit) << stay + 1;
    }
}

TEST(KeyDecoderProtocol, CtrlZAsksForSuspendOnce) {
    KeyDecoder d = kitty_decoder();
    feed(d, "\x1b[122;5u", 0);
    EXPECT_TRUE(d.suspend);
    EXPECT_EQ(take_pressed(d), 0u);
    d.suspend = false;
    feed(d, "\x1b[122;5:2u\x1b[122;5:3u", 1);
    EXPECT_FALSE(d.suspend);
}

TEST(KeyDecoderProtocol, ModifierOnlyAndOtherKeysAreIgnored) {
    KeyDecoder d = kitty_decoder();
    // Left Shift, Left Control, Caps Lock, Enter, an arrow, F5, a keypad key.
    feed(d, "\x1b[57441;2u\x1b[57442;5u\x1b[57358;65u\x1b[13u\x1b[1;1A\x1b[15~\x1b[57399u", 0);
    feed(d, "\x1b[57441;1:3u", 1);
    EXPECT_EQ(take_pressed(d), 0u);
    EXPECT_FALSE(space_down(d));
    EXPECT_FALSE(d.quit);
    EXPECT_FALSE(d.suspend);
}

TEST(KeyDecoderProtocol, ReleaseWithModifiersStillReleasesSpace) {
    KeyDecoder d = kitty_decoder();
    feed(d, "\x1b[32u", 0);
    feed(d, "\x1b[32;5:3u", 10);  // Ctrl went down during the hold
    EXPECT_FALSE(space_down(d));
}

TEST(KeyDecoderProtocol, LoneEscByteIsNotEscapeOnceTheProtocolIsOn) {
    KeyDecoder d = kitty_decoder();
    feed(d, "\x1b", 0);
    decode_timeouts(d, 1000);
    EXPECT_FALSE(d.quit);
    EXPECT_EQ(ms_until_timeout(d, 1000), -1);
    feed(d, "[118u", 1500);  // the rest of the sequence, however late
    EXPECT_EQ(take_pressed(d), bit_v);
}

TEST(KeyDecoderProtocol, SupportIsAReplyBeforeTheAttributes) {
    KeyDecoder d;
    feed(d, "\x1b[?0u\x1b[?62;22c", 0);
    EXPECT_TRUE(d.protocol_reply);
    EXPECT_TRUE(d.attributes_reply);

    KeyDecoder late;
    feed(late, "\x1b[?62c\x1b[?0u", 0);
    EXPECT_FALSE(late.protocol_reply);
    EXPECT_TRUE(late.attributes_reply);

    KeyDecoder none;
    feed(none, "\x1b[?1;2c", 0);
    EXPECT_FALSE(none.protocol_reply);
    EXPECT_TRUE(none.attributes_reply);
    EXPECT_FALSE(none.quit);
}

// --- Plain bytes ----------------------------------------------------------

TEST(KeyDecoderPlain, NoteBytesPressUpperCaseToo) {
    KeyDecoder d;
    feed(d, "v", 0);
    EXPECT_EQ(take_pressed(d), bit_v);
    feed(d, "Z", 500);
    EXPECT_EQ(take_pressed(d), bit_z);
    feed(d, "zk", 1000);  // a different key in between does not matter
    EXPECT_EQ(take_pressed(d), bit_z | bit_k);
    feed(d, "aq1\r\t", 2000);
    EXPECT_EQ(take_pressed(d), 0u);
}

TEST(KeyDecoderPlain, SameKeyWithinTheRepeatWindowIsAutoRepeat) {
    KeyDecoder d;
    feed(d, "v", 1000);
    EXPECT_EQ(take_pressed(d), bit_v);
    // A held key: each repeat follows the previous one within the window.
    uint32_t last = 1000;
    for (uint32_t t = 1050; t < 2000; t += 33) {
        feed(d, "v", t);
        EXPECT_EQ(take_pressed(d), 0u) << t;
        last = t;
    }
    feed(d, "V", last + note_repeat_window_ms - 1);
    EXPECT_EQ(take_pressed(d), 0u);
    // Released, then pressed again after a pause.
    feed(d, "v", last + 2 * note_repeat_window_ms);
    EXPECT_EQ(take_pressed(d), bit_v);
    // Two bytes of one key in one read: the second is a repeat.
    feed(d, "cc", 5000);
    EXPECT_EQ(take_pressed(d), bit_c);
}

TEST(KeyDecoderPlain, RepeatWindowHoldsAcrossClockWrap) {
    KeyDecoder d;
    feed(d, "v", 0xffffffe0u);
    take_pressed(d);
    feed(d, "v", 0x10u);  // 48 ms later, across the wrap
    EXPECT_EQ(take_pressed(d), 0u);
    feed(d, "v", 0x10u + note_repeat_window_ms);
    EXPECT_EQ(take_pressed(d), bit_v);
}

TEST(KeyDecoderPlain, SpaceHeldThroughTheFirstRepeatDelayThenByRepeatInterval) {
    KeyDecoder d;
    feed(d, " ", 0);
    EXPECT_TRUE(space_down(d));
    EXPECT_EQ(ms_until_timeout(d, 0), static_cast<int32_t>(space_hold_first_ms));
    decode_timeouts(d, 600);  // the keyboard's delay before repeating
    EXPECT_TRUE(space_down(d));
    feed(d, " ", 600);
    for (uint32_t t = 640; t <= 1000; t += 40) {
        feed(d, " ", t);
    }
    // Repeats every 40 ms: held for three intervals after the last one.
    EXPECT_EQ(ms_until_timeout(d, 1000), 120);
    decode_timeouts(d, 1119);
    EXPECT_TRUE(space_down(d));
    decode_timeouts(d, 1120);
    EXPECT_FALSE(space_down(d));
    EXPECT_EQ(ms_until_timeout(d, 1120), -1);
}

TEST(KeyDecoderPlain, SingleSpaceTapLastsTheFirstHoldOnly) {
    KeyDecoder d;
    feed(d, " ", 100);
    decode_timeouts(d, 100 + space_hold_first_ms - 1);
    EXPECT_TRUE(space_down(d));
    decode_timeouts(d, 100 + space_hold_first_ms);
    EXPECT_FALSE(space_down(d));
}

TEST(KeyDecoderPlain, BunchedRepeatsKeepAMinimumHold) {
    KeyDecoder d;
    feed(d, " ", 0);
    feed(d, "   ", 500);  // three repeats read at once: a gap of 0
    decode_timeouts(d, 500 + space_hold_min_ms - 1);
    EXPECT_TRUE(space_down(d));
    decode_timeouts(d, 500 + space_hold_min_ms);
    EXPECT_FALSE(space_down(d));
}

TEST(KeyDecoderPlain, NoteWhileSpaceRepeatsDoesNotReleaseByItself) {
    KeyDecoder d;
    feed(d, " ", 0);
    feed(d, "v", 10);
    EXPECT_EQ(take_pressed(d), bit_v);
    EXPECT_TRUE(space_down(d));
}

TEST(KeyDecoderPlain, LoneEscIsEscapeAfterItsTimeout) {
    KeyDecoder d;
    feed(d, "\x1b", 0);
    EXPECT_FALSE(d.quit);
    EXPECT_EQ(ms_until_timeout(d, 10), static_cast<int32_t>(lone_escape_ms - 10));
    decode_timeouts(d, lone_escape_ms - 1);
    EXPECT_FALSE(d.quit);
    decode_timeouts(d, lone_escape_ms);
    EXPECT_TRUE(d.quit);
}

TEST(KeyDecoderPlain, EscFollowedLateByAByteWasStillEscape) {
    // Nobody looked at the time in between: the next read settles it.
    KeyDecoder d;
    feed(d, "\x1b", 0);
    feed(d, "v", lone_escape_ms + 5);
    EXPECT_TRUE(d.quit);
    EXPECT_EQ(take_pressed(d), bit_v);
}

TEST(KeyDecoderPlain, EscapeSequencesAreSkippedWholeNeverKeys) {
    // Arrows, Home, F1 (SS3 and CSI forms), F5 with Shift, Alt-v, an OSC
    // answer, SGR and old-style mouse reports (whose raw bytes could be
    // anything, here "v", " " and ESC), focus in.
    const std::string sequences =
        "\x1b[A\x1b[1;2B\x1b[H\x1bOP\x1bO1;2Q\x1b[11~\x1b[15;2~\x1bv"
        "\x1b]11;rgb:0000/0000/0000\x07\x1b]0;zxcv\x1b\\"
        "\x1b[<0;12;7M\x1b[<0;12;7m\x1b[Mv \x1b\x1b[I";
    KeyDecoder d;
    feed(d, sequences, 0);
    decode_timeouts(d, 1000);
    EXPECT_EQ(take_pressed(d), 0u);
    EXPECT_FALSE(space_down(d));
    EXPECT_FALSE(d.quit);
    EXPECT_EQ(d.state, DecodeState::ground);
    feed(d, "b", 1001);
    EXPECT_EQ(take_pressed(d), 1u << 4);
}

TEST(KeyDecoderPlain, CtrlCQuitsAndCtrlZSuspends) {
    KeyDecoder d;
    feed(d, "\x1a", 0);
    EXPECT_TRUE(d.suspend);
    EXPECT_FALSE(d.quit);
    feed(d, "\x03", 1);
    EXPECT_TRUE(d.quit);
    // Even in the middle of a sequence.
    KeyDecoder mid;
    feed(mid, "\x1b[1;\x03", 0);
    EXPECT_TRUE(mid.quit);
}

TEST(KeyDecoderPlain, FocusLossReleasesSpace) {
    KeyDecoder d;
    feed(d, " ", 0);
    feed(d, "\x1b[O", 10);
    EXPECT_FALSE(space_down(d));
    KeyDecoder exact = kitty_decoder();
    feed(exact, "\x1b[32u\x1b[O", 0);
    EXPECT_FALSE(space_down(exact));
}

TEST(KeyDecoderPlain, BracketedPasteIsDiscarded) {
    KeyDecoder d;
    feed(d, "\x1b[200~zxcv \x1b\x1b[27u\x03 \x1b[201", 0);
    decode_timeouts(d, 1000);
    EXPECT_EQ(take_pressed(d), 0u);
    EXPECT_FALSE(space_down(d));
    EXPECT_FALSE(d.quit);
    feed(d, "~v", 1001);  // the end marker's last byte, then a key
    EXPECT_EQ(take_pressed(d), bit_v);
}

// --- Cut and broken input -------------------------------------------------

// Every split of a stream into two reads decodes as the whole stream does.
TEST(KeyDecoderSplit, EveryCutPointGivesTheSameReadings) {
    const std::string stream =
        "\x1b[118u\x1b[32;1:1u\x1b[200~zz\x1b[201~\x1b[<0;1;1M\x1b[?0u\x1b[122;2u\x1b]0;t\x1b\\"
        "\x1b[99;1:3u";
    KeyDecoder whole = kitty_decoder();
    feed(whole, stream, 0);
    const uint32_t expected = whole.pressed;
    ASSERT_EQ(expected, bit_v | bit_z);
    ASSERT_TRUE(space_down(whole));
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        KeyDecoder d = kitty_decoder();
        feed(d, stream.substr(0, cut), 0);
        feed(d, stream.substr(cut), 5);
        EXPECT_EQ(d.pressed, expected) << "cut at " << cut;
        EXPECT_TRUE(space_down(d)) << "cut at " << cut;
        EXPECT_TRUE(d.protocol_reply) << "cut at " << cut;
        EXPECT_FALSE(d.quit) << "cut at " << cut;
        EXPECT_EQ(d.state, DecodeState::ground) << "cut at " << cut;
    }
}

TEST(KeyDecoderSplit, PlainSequenceCutInsideTheTimeoutIsNotEscape) {
    KeyDecoder d;
    feed(d, "\x1b", 0);
    decode_timeouts(d, lone_escape_ms - 1);
    feed(d, "[A", lone_escape_ms - 1);
    decode_timeouts(d, 1000);
    EXPECT_FALSE(d.quit);
    EXPECT_EQ(take_pressed(d), 0u);
}

TEST(KeyDecoderBroken, OverlongAndMalformedSequencesAreSkipped) {
    KeyDecoder d = kitty_decoder();
    // Far more parameter bytes than are kept: skipped, not truncated into a
    // key (its first digits would read as v).
    feed(d, "\x1b[118" + std::string(500, '1') + "u", 0);
    // Numbers beyond 32 bits, an intermediate byte, parameters after it.
    feed(d, "\x1b[99999999999999999999;5u\x1b[118 u\x1b[ 118u", 0);
    // A high byte and DEL abandon sequences.
    feed(d, "\x1b[118\xc3u\x1b[118\x7fu", 0);
    EXPECT_EQ(take_pressed(d), 0u);
    EXPECT_FALSE(d.quit);
    EXPECT_EQ(d.state, DecodeState::ground);
    feed(d, "\x1b[107u", 1);  // and the decoder reads on
    EXPECT_EQ(take_pressed(d), bit_k);
}

TEST(KeyDecoderBroken, TruncatedInputLeavesNothingBehind) {
    // Sequences cut short by CAN/SUB, and by a new ESC.
    KeyDecoder d = kitty_decoder();
    feed(d,
         "\x1b[11\x18"
         "v\x1b[11\x1b[107u\x1b]0;t\x1b[32u",
         0);
    EXPECT_EQ(take_pressed(d), bit_v | bit_k);
    EXPECT_TRUE(space_down(d));
    EXPECT_FALSE(d.quit);
    // Empty and one-field sequences.
    feed(d, "\x1b[u\x1b[;u\x1b[;;;u\x1b[:::u", 1);
    EXPECT_EQ(take_pressed(d), 0u);
    EXPECT_FALSE(d.quit);
}

TEST(KeyDecoderBroken, ReleaseKeysForgetsHeldKeysAndHalfSequences) {
    KeyDecoder d = kitty_decoder();
    feed(d, "\x1b[32u\x1b[118u\x1b[12", 0);
    release_keys(d);
    EXPECT_FALSE(space_down(d));
    EXPECT_EQ(take_pressed(d), 0u);
    EXPECT_TRUE(d.keyboard_protocol);
    feed(d, "2u", 1);  // the rest of the cut sequence is no key now
    EXPECT_EQ(take_pressed(d), 0u);
}

}  // namespace
}  // namespace pluck
