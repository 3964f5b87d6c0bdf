// The instrument as a WebAssembly module with plain C functions and no
// JavaScript glue: a page's audio worklet plays one session through it,
// driven by key events or by a score, and node renders scores with it.
// Numbers that may pass 2^31 cross as doubles, which hold them exactly.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/synth_state.h"
#include "play/auto_play.h"
#include "play/milliseconds.h"
#include "play/note_keys.h"
#include "play/play_session.h"
#include "play/score.h"
#include "play/score_render.h"

#define PLUCK_EXPORT(name) extern "C" __attribute__((export_name(#name)))

// Takes each chunk of a score's render; returns 0 to stop the render. The
// frames are valid only during the call.
extern "C" __attribute__((import_module("pluck"), import_name("write_frames"))) int32_t host_write_frames(
    const float* samples, int32_t frames);

namespace pluck {

namespace {

// Most frames one pluck_render call fills: a few render quanta.
constexpr int32_t max_live_frames = 4096;
// Loop samples read to tell how loud a string rings.
constexpr int32_t level_probe_samples = 64;
// Bytes of a streamed score handed over at once.
constexpr int32_t score_piece_bytes = 65536;

// What pluck_stream_read says.
enum StreamRead : int32_t { stream_more, stream_rendered, stream_bad_line, stream_stopped, stream_too_long };

PlaySession live;
float live_out[channel_count * max_live_frames];

// A score read whole (a page holds it in memory anyway): its events, and the
// reader, which knows its default length or its first bad line.
struct ReadScore {
    std::vector<ScoreEvent> events;
    ScoreReader reader;
};

std::string score_text;
ReadScore score;
// The next event of `score` that the session plays; past the end when the
// session plays no score.
size_t next_score_event = 0;

void play_event(const ScoreEvent& event) {
    if (is_note_key(event.action)) {
        session_press(live, static_cast<int32_t>(event.action));
    } else {
        session_space(live, event.action == ScoreAction::space_down);
    }
}

// Renders `frames` frames into `out`, stopping at each score event's frame
// to play it there: the session's next pass is then that event's
// millisecond, so the event lands where a score render plays it.
void render_live(float* out, int64_t frames) {
    const int64_t end = live.frames_rendered + frames;
    while (live.frames_rendered < end) {
        int64_t until = end;
        for (; next_score_event < score.events.size(); ++next_score_event) {
            const int64_t frame = frame_at_ms(score.events[next_score_event].time_ms);
            if (frame > live.frames_rendered) {
                until = std::min(until, frame);
                break;
            }
            play_event(score.events[next_score_event]);
        }
        const int64_t n = until - live.frames_rendered;
        session_render(live, out, n);
        out += channel_count * n;
    }
}

bool write_to_host(const float* samples, int64_t frames, void*) {
    return host_write_frames(samples, static_cast<int32_t>(frames)) != 0;
}

}  // namespace

// ---------------------------------------------------------------- live

// Puts the instrument back to its start-up state: a new session at 0 ms,
// played from the keys.
PLUCK_EXPORT(pluck_start) void pluck_start() {
    start_session(live);
    next_score_event = score.events.size();
}

// The same, with the session playing the parsed score (keys may join in).
PLUCK_EXPORT(pluck_start_score) void pluck_start_score() {
    start_session(live);
    next_score_event = 0;
}

// Note key `key` (0-7, Z to K) pressed: it lands on the next millisecond
// not yet played.
PLUCK_EXPORT(pluck_press) void pluck_press(int32_t key) {
    session_press(live, key);
}

// Space down (1) or up (0) from the next millisecond not yet played.
PLUCK_EXPORT(pluck_space) void pluck_space(int32_t down) {
    session_space(live, down != 0);
}

// Renders the session's next `frames` frames (at most 4096) and returns
// where they are: interleaved stereo, valid until the next call.
PLUCK_EXPORT(pluck_render) const float* pluck_render(int32_t frames) {
    render_live(live_out, std::clamp(frames, 0, max_live_frames));
    return live_out;
}

// The millisecond where input lands now: the one an input recorded in a
// score must carry.
PLUCK_EXPORT(pluck_next_ms) double pluck_next_ms() {
    return static_cast<double>(live.next_pass_ms);
}

PLUCK_EXPORT(pluck_frames_rendered) double pluck_frames_rendered() {
    return static_cast<double>(live.frames_rendered);
}

// The note that key `key` plucks now: it follows the auto-play's key.
PLUCK_EXPORT(pluck_key_note) int32_t pluck_key_note(int32_t key) {
    return auto_play.base_note + note_keys[std::clamp(key, 0, note_key_count - 1)].offset;
}

// How loud string `string` (0-7) rings now, 0 for silent: the largest
// magnitude among a few samples spread over its loop. A plucked loop
// decays as a whole, so a sparse look is enough to light a key.
PLUCK_EXPORT(pluck_string_level) float pluck_string_level(int32_t string) {
    if (string < 0 || string >= string_count) {
        return 0.0f;
    }
    const PluckedString& s = synth.strings[string];
    const int32_t stride = s.period / level_probe_samples + 1;
    float level = 0.0f;
    for (int32_t i = 0; i < s.period; i += stride) {
        level = std::max(level, std::fabs(s.samples[i]));
    }
    return level;
}

// ---------------------------------------------------------------- scores

// Room for a score of `bytes` bytes, for the caller to fill before
// pluck_parse_score.
PLUCK_EXPORT(pluck_score_text) char* pluck_score_text(int32_t bytes) {
    score_text.assign(static_cast<size_t>(std::max(bytes, 0)), '\0');
    return score_text.data();
}

// Parses the score text: 0 when all of it is good, otherwise the number of
// the first bad line, which pluck_score_error describes. A session playing
// a score must be started again.
PLUCK_EXPORT(pluck_parse_score) double pluck_parse_score() {
    score = ReadScore{};
    std::string_view input = score_text;
    ScoreEvent event;
    ScoreRead read = ScoreRead::event;
    while ((read = read_score_event(score.reader, input, event)) == ScoreRead::event) {
        score.events.push_back(event);
    }
    while (read == ScoreRead::need_input && (read = finish_score(score.reader, event)) == ScoreRead::event) {
        score.events.push_back(event);
    }
    next_score_event = score.events.size();
    return static_cast<double>(score.reader.error_line);
}

PLUCK_EXPORT(pluck_score_error) const char* pluck_score_error() {
    return score.reader.error.c_str();
}

// The render length when none is asked for: the last event plus the tail.
PLUCK_EXPORT(pluck_score_length_ms) double pluck_score_length_ms() {
    return static_cast<double>(default_render_length_ms(score.reader));
}

// ---------------------------------------------------------------- streamed scores

// A score read a piece at a time and rendered as it is read, as
// pluck-render plays one: memory stays the same however long it is, even
// for one that never ends.
namespace {

ScoreReader streamed_reader;
ScoreRender streamed_render;
char streamed_input[score_piece_bytes];
bool streamed_playing = true;  // false: the score is only read ahead
FileLimit streamed_limit;

// The first `bytes` bytes the host put at pluck_stream_input.
std::string_view streamed_text(int32_t bytes) {
    return {streamed_input, static_cast<size_t>(std::clamp(bytes, 0, score_piece_bytes))};
}

}  // namespace

// Starts a render of `length_ms` milliseconds (-1: the last event's time
// plus the tail, refused at the first event that carries it past
// `max_frames`), its frames handed to the host's write_frames in chunks.
// With `playing` 0 the score is only read ahead, to refuse a render too
// long before any of it is made: nothing is rendered. It ends any live
// session.
PLUCK_EXPORT(pluck_stream_start)
void pluck_stream_start(double length_ms, double max_frames, int32_t playing) {
    streamed_reader = ScoreReader{};
    streamed_playing = playing != 0;
    streamed_limit = file_limit_for(static_cast<int64_t>(length_ms), static_cast<int64_t>(max_frames));
    start_score_render(streamed_render, FrameSink{write_to_host, nullptr}, static_cast<int64_t>(length_ms));
}

// Where the host puts the score's next bytes, and how many fit.
PLUCK_EXPORT(pluck_stream_input) char* pluck_stream_input() {
    return streamed_input;
}

PLUCK_EXPORT(pluck_stream_input_bytes) int32_t pluck_stream_input_bytes() {
    return score_piece_bytes;
}

// Reads the next `bytes` bytes of the score from pluck_stream_input (0: the
// score has ended), playing each event as soon as its line is complete.
PLUCK_EXPORT(pluck_stream_read) int32_t pluck_stream_read(int32_t bytes) {
    std::string_view input = streamed_text(bytes);
    ScoreEvent event;
    auto next = [&] {
        return bytes == 0 ? finish_score(streamed_reader, event)
                          : read_score_event(streamed_reader, input, event);
    };
    ScoreRead read = next();
    for (; read == ScoreRead::event; read = next()) {
        if (!ring_out_fits_file(streamed_limit, streamed_reader, event)) {
            return stream_too_long;
        }
        if (streamed_playing && !render_score_event(streamed_render, event)) {
            return stream_stopped;
        }
    }
    if (read != ScoreRead::end) {
        return read == ScoreRead::bad_line ? stream_bad_line : stream_more;
    }
    if (!streamed_playing) {
        return stream_rendered;
    }
    return end_score_render(streamed_render, streamed_reader) ? stream_rendered : stream_stopped;
}

// The first bad line (0: none) and what is wrong with it.
PLUCK_EXPORT(pluck_stream_error_line) double pluck_stream_error_line() {
    return static_cast<double>(streamed_reader.error_line);
}

PLUCK_EXPORT(pluck_stream_error) const char* pluck_stream_error() {
    return streamed_reader.error.c_str();
}

// A render refused as too long: the line of the event that makes it so,
// the render's length to the end of that event's ring-out, and the ring-out.
PLUCK_EXPORT(pluck_stream_too_long_line) double pluck_stream_too_long_line() {
    return static_cast<double>(streamed_limit.too_long_line);
}

PLUCK_EXPORT(pluck_stream_too_long_ms) double pluck_stream_too_long_ms() {
    return static_cast<double>(streamed_limit.too_long_ms);
}

PLUCK_EXPORT(pluck_render_tail_ms) double pluck_render_tail_ms() {
    return static_cast<double>(render_tail_ms);
}

// Once rendered: its length, and the events at or after it, not played.
PLUCK_EXPORT(pluck_stream_length_ms) double pluck_stream_length_ms() {
    return static_cast<double>(streamed_render.length_ms);
}

PLUCK_EXPORT(pluck_stream_unplayed) double pluck_stream_unplayed() {
    return static_cast<double>(streamed_render.unplayed);
}

// ---------------------------------------------------------------- command line

// Reads the `bytes` bytes at pluck_stream_input as a whole number of
// milliseconds (for --length), as pluck-render reads one: the number, or -1.
PLUCK_EXPORT(pluck_read_milliseconds) double pluck_read_milliseconds(int32_t bytes) {
    int64_t ms = -1;
    read_milliseconds(streamed_text(bytes), max_score_time_ms, ms);
    return static_cast<double>(ms);
}

PLUCK_EXPORT(pluck_version) const char* pluck_version() {
    return PLUCK_VERSION;
}

}  // namespace pluck
