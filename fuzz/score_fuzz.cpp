// libFuzzer target for the score reader. Whatever the bytes, however they
// arrive, the reader either reads every line, each event in the score's
// range and in order, or names one bad line with a one-line printable
// message; the first byte chooses how the rest is cut into pieces, and the
// result must be the one of reading it whole.
// Also built with g++ into a test that replays the corpus.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz/require.h"
#include "play/score.h"

namespace {

struct Read {
    std::vector<std::pair<int64_t, pluck::ScoreAction>> events;
    pluck::ScoreReader reader;  // as it ended
};

// Reads `text` in pieces of `piece` bytes (0: all at once).
Read read_in_pieces(std::string_view text, size_t piece) {
    using namespace pluck;
    Read out;
    ScoreEvent event;
    ScoreRead read = ScoreRead::need_input;
    while (read == ScoreRead::need_input && !text.empty()) {
        std::string_view bytes = text.substr(0, piece == 0 ? text.size() : piece);
        text.remove_prefix(bytes.size());
        while ((read = read_score_event(out.reader, bytes, event)) == ScoreRead::event) {
            out.events.emplace_back(event.time_ms, event.action);
            require(out.reader.line.size() <= max_score_line_bytes);
        }
    }
    while (read != ScoreRead::bad_line && (read = finish_score(out.reader, event)) == ScoreRead::event) {
        out.events.emplace_back(event.time_ms, event.action);
    }
    require(read == (out.reader.error_line != 0 ? ScoreRead::bad_line : ScoreRead::end));
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace pluck;
    if (size == 0) {
        return 0;
    }
    const size_t piece = data[0];
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    const Read whole = read_in_pieces(text, 0);
    const ScoreReader& r = whole.reader;
    require(r.error_line == 0 ||
            (r.error_line >= 1 && r.error_line <= 1 + std::count(text.begin(), text.end(), '\n') &&
             !r.error.empty() && r.error.size() < 300 &&
             std::all_of(r.error.begin(), r.error.end(), [](char c) { return c >= 0x20 && c < 0x7f; })));
    const Read cut = read_in_pieces(text, piece);
    require(cut.events == whole.events && cut.reader.error_line == r.error_line &&
            cut.reader.error == r.error);

    for (size_t i = 0; i < whole.events.size(); ++i) {
        const auto [time_ms, action] = whole.events[i];
        require(time_ms >= (i == 0 ? 0 : whole.events[i - 1].first) && time_ms <= max_score_time_ms &&
                action <= ScoreAction::space_up);
    }
    return 0;
}
