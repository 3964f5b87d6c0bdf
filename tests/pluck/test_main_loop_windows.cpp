// The Windows main loop's passes against a scripted keyboard: which keys it
// asks about, in which order, with which reading, and when it pauses.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <string>

#include "engine/render.h"
#include "engine/synth_state.h"
#include "keys/keyboard_windows.h"
#include "play/auto_play.h"
#include "play/clock.h"
#include "pluck/main_loop_windows.h"

namespace pluck {
namespace {

constexpr uint16_t down = 0x8000;     // down now
constexpr uint16_t pressed = 0x0001;  // pressed since the last query, which clears it

// Each case is one pass from a fresh instrument, after a pass with Space up
// or held (`space_before`), or with Ctrl-C or a closed console (`quit`):
// the keys asked about ('E' Escape, ' ' Space), the pause, the strings
// plucked (bit k for string k) and whether the auto-play ran.
TEST(MainLoopWindows, OnePassReadsEscapeFirstThenSpaceThenTheNoteKeysInOrder) {
    const struct {
        std::map<int32_t, uint16_t> states;
        bool space_before, quit;
        const char* queries;
        uint32_t paused_ms, plucked;
    } cases[] = {
        {{}, false, false, "E ZXCVBNMK", idle_pause_ms, 0},
        // A note key pressed since the last pass plays, whether or not it is
        // still down; one held down from an earlier pass plays nothing new.
        {{{'V', down | pressed}}, false, false, "E ZXCVBNMK", idle_pause_ms, 1u << 3},
        {{{'V', down}}, false, false, "E ZXCVBNMK", idle_pause_ms, 0},
        {{{'Z', pressed}, {'K', down | pressed}}, false, false, "E ZXCVBNMK", idle_pause_ms, 0x81},
        // Escape down ends the pass before anything else is read or played;
        // pressed and already released, it is not down. Ctrl-C: no key read.
        {{{vk_escape, down}, {'V', pressed}}, false, false, "E", 0, 0},
        {{{vk_escape, pressed}}, false, false, "E ZXCVBNMK", idle_pause_ms, 0},
        {{{'V', down | pressed}}, false, true, "", 0, 0},
        // Space pressed and released runs no auto-play. Held, the auto-play
        // paces the loop, which only yields; just pressed, the loop's pause
        // comes first.
        {{{vk_space, pressed}}, false, false, "E ZXCVBNMK", idle_pause_ms, 0},
        {{{vk_space, down}}, true, false, "E ZXCVBNMK", 0, 0},
        {{{vk_space, down | pressed}}, false, false, "E ZXCVBNMK", idle_pause_ms, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        reset_synth_state();
        reset_auto_play();
        struct World {
            std::map<int32_t, uint16_t> states;
            std::string queries;
            uint32_t paused_ms = 0;
            int sleeps = 0;
        } w{c.states, {}, 0, 0};
        const KeyReader keys{[](int32_t vk, void* self) {
                                 World& w = *static_cast<World*>(self);
                                 w.queries += vk == vk_escape ? 'E' : static_cast<char>(vk);
                                 const uint16_t state = w.states[vk];
                                 w.states[vk] = state & down;
                                 return state;
                             },
                             &w};
        const Clock clock{[](void*) { return 1000u; },
                          [](void* self) { ++static_cast<World*>(self)->sleeps; }, &w};
        const Pause pause{[](uint32_t ms, void* self) { static_cast<World*>(self)->paused_ms += ms; }, &w};
        const std::atomic<bool> quit{c.quit};
        LoopState state{c.space_before};
        EXPECT_EQ(main_loop_pass(keys, clock, pause, quit, state), c.queries == std::string("E ZXCVBNMK"));
        EXPECT_EQ(w.queries, c.queries);
        EXPECT_EQ(w.paused_ms, c.paused_ms);
        float frame[2];
        render_audio(frame, sizeof frame);  // applies the plucks handed over
        uint32_t plucked = 0;
        for (int32_t k = 0; k < 8; ++k) {
            plucked |= synth.strings[k].period != 0 ? 1u << k : 0;
        }
        EXPECT_EQ(plucked, c.plucked);
        // Its first step starts its clock and sleeps 1 ms.
        const auto space = c.states.find(vk_space);
        EXPECT_EQ(w.sleeps,
                  c.queries[0] != 0 && space != c.states.end() && (space->second & down) != 0 ? 1 : 0);
    }
}

}  // namespace
}  // namespace pluck
