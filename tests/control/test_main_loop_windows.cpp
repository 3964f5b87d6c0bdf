// The Windows main loop's passes against a scripted keyboard: which keys it
// asks about, in which order, with which reading, and when it pauses.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "control/clock.h"
#include "control/keyboard_windows.h"
#include "control/main_loop_windows.h"
#include "engine/plucked_string.h"
#include "engine/render.h"
#include "engine/synth_state.h"

namespace pluck {
namespace {

// One pass's key states as GetAsyncKeyState would give them; every query is
// logged as the key's letter ('E' Escape, ' ' Space). A query clears the
// pressed-since bit, as the system's does.
struct ScriptedKeys {
    std::map<int32_t, uint16_t> states;
    std::string queries;

    KeyReader reader() {
        return KeyReader{[](int32_t vk, void* self) {
                             ScriptedKeys& keys = *static_cast<ScriptedKeys*>(self);
                             keys.queries += vk == vk_escape ? 'E' : static_cast<char>(vk);
                             const uint16_t state = keys.states[vk];
                             keys.states[vk] = state & 0x8000u;
                             return state;
                         },
                         this};
    }
};

// Virtual time: the auto-play's sleeps and the loop's pauses are counted,
// not slept.
struct VirtualTime {
    uint32_t now_ms = 0;
    int sleeps = 0;
    uint32_t paused_ms = 0;
    Clock clock() {
        return Clock{[](void* t) { return static_cast<VirtualTime*>(t)->now_ms; },
                     [](void* t) { ++static_cast<VirtualTime*>(t)->sleeps; }, this};
    }
    Pause pause() {
        return Pause{[](uint32_t ms, void* t) { static_cast<VirtualTime*>(t)->paused_ms += ms; }, this};
    }
};

constexpr uint16_t down = 0x8000;
constexpr uint16_t pressed = 0x0001;
constexpr char all_keys[] = "E ZXCVBNMK";

// The strings plucked so far, as "k:period/width" each.
std::string plucked_strings() {
    float frame[2];
    render_audio(frame, sizeof frame);  // applies the plucks handed over
    std::ostringstream text;
    for (int32_t k = 0; k < 8; ++k) {
        if (synth.strings[k].period != 0) {
            text << k << ':' << synth.strings[k].period << '/' << synth.strings[k].width << ' ';
        }
    }
    return text.str();
}

// Each case is one pass from a fresh instrument, after a pass with Space up
// or held; the pass goes on to the next unless it ended at Escape.
TEST(MainLoopWindows, OnePassReadsEscapeFirstThenSpaceThenTheNoteKeysInOrder) {
    struct Case {
        std::map<int32_t, uint16_t> states;
        bool space_before;
        std::string queries;
        uint32_t paused_ms;
        std::string plucked;
    };
    const Case cases[] = {
        // Nothing pressed: one idle pause.
        {{}, false, all_keys, idle_pause_ms, ""},
        // V pressed: string 3 at the initial key, width 5; held on from an
        // earlier pass it plays nothing new; pressed and released since the
        // last pass it plays.
        {{{'V', down | pressed}}, false, all_keys, idle_pause_ms, "3:162/5 "},
        {{{'V', down}}, false, all_keys, idle_pause_ms, ""},
        {{{'V', pressed}}, false, all_keys, idle_pause_ms, "3:162/5 "},
        // The lowest and the highest key in one pass.
        {{{'Z', pressed}, {'K', down | pressed}}, false, all_keys, idle_pause_ms, "0:653/12 7:81/2 "},
        // Escape down ends the pass before anything else is read or played;
        // pressed and already released, it is not down.
        {{{vk_escape, down}, {'V', pressed}}, false, "E", 0, ""},
        {{{vk_escape, pressed}}, false, all_keys, idle_pause_ms, ""},
        // Space pressed and released runs no auto-play. Held, the auto-play
        // paces the loop, which only yields; just pressed, the loop's pause
        // comes first.
        {{{vk_space, pressed}}, false, all_keys, idle_pause_ms, ""},
        {{{vk_space, down}}, true, all_keys, 0, ""},
        {{{vk_space, down | pressed}}, false, all_keys, idle_pause_ms, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        reset_synth_state();
        ScriptedKeys keys{c.states, ""};
        VirtualTime time;
        const std::atomic<bool> quit{false};
        LoopState state{c.space_before};
        const bool goes_on = c.queries != "E";
        EXPECT_EQ(main_loop_pass(keys.reader(), time.clock(), time.pause(), quit, state), goes_on);
        EXPECT_EQ(keys.queries, c.queries);
        EXPECT_EQ(time.paused_ms, c.paused_ms);
        EXPECT_EQ(plucked_strings(), c.plucked);
        const auto space = c.states.find(vk_space);
        const bool space_down = space != c.states.end() && (space->second & down) != 0;
        // Its first step starts its clock and sleeps 1 ms.
        EXPECT_EQ(synth.auto_play_started, goes_on && space_down);
        EXPECT_EQ(time.sleeps, synth.auto_play_started ? 1 : 0);
    }
}

// Held Space runs the auto-play pass after pass; the first beat plucks on
// the first tick, 7 ms after the first step; after the release the loop
// pauses again on its own, and Escape ends it.
TEST(MainLoopWindows, HeldSpacePlaysBeatsUntilReleasedAndEscapeEnds) {
    reset_synth_state();
    ScriptedKeys keys;
    VirtualTime time;
    const std::atomic<bool> quit{false};
    const KeyReader reader = keys.reader();
    const Clock clock = time.clock();
    const Pause pause = time.pause();
    LoopState state;
    keys.states[vk_space] = down | pressed;
    for (int pass = 0; pass <= 126; ++pass, ++time.now_ms) {
        ASSERT_TRUE(main_loop_pass(reader, clock, pause, quit, state));
    }
    EXPECT_EQ(synth.beat_count, 3) << "beats at 7 ms and at 7 + 17 * 7 ms";
    keys.states[vk_space] = 0;
    const uint32_t paused_before = time.paused_ms;
    const int32_t beats = synth.beat_count;
    for (int pass = 0; pass < 200; ++pass, ++time.now_ms) {
        ASSERT_TRUE(main_loop_pass(reader, clock, pause, quit, state));
    }
    EXPECT_EQ(synth.beat_count, beats) << "beats went on after Space was released";
    EXPECT_EQ(time.paused_ms - paused_before, 199 * idle_pause_ms)
        << "one pause per idle pass, from the one after the release";
    // Ctrl-C or a closed console: before any key is read.
    std::atomic<bool> console_quit{true};
    keys.states['V'] = down | pressed;
    keys.queries.clear();
    EXPECT_FALSE(main_loop_pass(reader, clock, pause, console_quit, state));
    EXPECT_EQ(keys.queries, "");
    keys.states[vk_escape] = down;
    EXPECT_FALSE(main_loop_pass(reader, clock, pause, quit, state));
}

}  // namespace
}  // namespace pluck
