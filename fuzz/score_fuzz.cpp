// libFuzzer target for the score parser. Whatever the bytes, the parser
// either reads every line or names one bad line with a one-line printable
// message; and the events it reads, written out again, read back the same.
// Also built with g++ into a test that replays the corpus.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tools/score.h"

namespace {

void require(bool holds) {
    if (!holds) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace pluck;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const ScoreParse parse = parse_score(text);
    if (parse.error_line != 0) {
        require(parse.error_line >= 1 && parse.error_line <= 1 + std::count(text.begin(), text.end(), '\n'));
        require(!parse.error.empty() && parse.error.size() < 300);
        require(std::all_of(parse.error.begin(), parse.error.end(),
                            [](char c) { return c >= 0x20 && c < 0x7f; }));
    }

    std::string written;
    for (size_t i = 0; i < parse.events.size(); ++i) {
        const ScoreEvent& e = parse.events[i];
        require(e.time_ms >= 0 && e.time_ms <= max_score_time_ms);
        require(i == 0 || e.time_ms >= parse.events[i - 1].time_ms);
        require(e.action >= ScoreAction::key_z && e.action <= ScoreAction::space_up);
        written += std::to_string(e.time_ms) + " " + std::string(score_action_name(e.action)) + "\n";
    }
    const ScoreParse again = parse_score(written);
    require(again.error_line == 0 && again.events.size() == parse.events.size());
    for (size_t i = 0; i < again.events.size(); ++i) {
        require(again.events[i].time_ms == parse.events[i].time_ms &&
                again.events[i].action == parse.events[i].action);
    }
    return 0;
}
