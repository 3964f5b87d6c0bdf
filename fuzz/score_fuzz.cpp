// libFuzzer target for the score reader. Whatever the bytes, however they
// arrive, the reader either reads every line or names one bad line with a
// one-line printable message; the first byte chooses how the rest is cut
// into pieces, and the result must be the one of reading it whole; and the
// events read, written out again, read back the same.
// Also built with g++ into a test that replays the corpus.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "tools/score.h"

namespace {

void require(bool holds) {
    if (!holds) {
        std::abort();
    }
}

struct Read {
    std::vector<pluck::ScoreEvent> events;
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
            out.events.push_back(event);
            require(out.reader.line.size() <= max_score_line_bytes);
        }
    }
    while (read != ScoreRead::bad_line && (read = finish_score(out.reader, event)) == ScoreRead::event) {
        out.events.push_back(event);
    }
    require(read == (out.reader.error_line != 0 ? ScoreRead::bad_line : ScoreRead::end));
    return out;
}

bool same_events(const std::vector<pluck::ScoreEvent>& a, const std::vector<pluck::ScoreEvent>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
        return x.time_ms == y.time_ms && x.action == y.action;
    });
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
    if (r.error_line != 0) {
        require(r.error_line >= 1 && r.error_line <= 1 + std::count(text.begin(), text.end(), '\n'));
        require(!r.error.empty() && r.error.size() < 300);
        require(std::all_of(r.error.begin(), r.error.end(), [](char c) { return c >= 0x20 && c < 0x7f; }));
    }
    const Read cut = read_in_pieces(text, piece);
    require(same_events(cut.events, whole.events) && cut.reader.error_line == r.error_line &&
            cut.reader.error == r.error);

    std::string written;
    for (size_t i = 0; i < whole.events.size(); ++i) {
        const ScoreEvent& e = whole.events[i];
        require(e.time_ms >= 0 && e.time_ms <= max_score_time_ms);
        require(i == 0 || e.time_ms >= whole.events[i - 1].time_ms);
        require(e.action >= ScoreAction::key_z && e.action <= ScoreAction::space_up);
        written += std::to_string(e.time_ms) + " " + std::string(score_action_name(e.action)) + "\n";
    }
    const Read again = read_in_pieces(written, 0);
    require(again.reader.error_line == 0 && same_events(again.events, whole.events));
    return 0;
}
