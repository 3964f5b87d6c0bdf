#include "keys/terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "play/clock.h"
#include "system/cleanup.h"
#include "system/stop_signals.h"

namespace pluck {

namespace {

// Asks for the keyboard protocol's flags, then for the device attributes,
// which every terminal answers: the order of the answers tells.
constexpr char protocol_query[] = "\x1b[?u\x1b[c";
// Flags 11: disambiguate escape codes (1), report press, repeat and release
// (2), report every key as an escape code (8). Without 8, plain keys' presses
// and repeats arrive as bare characters and cannot be told apart.
constexpr char protocol_push[] = "\x1b[>11u";
constexpr char protocol_pop[] = "\x1b[<u";
// Bracketed paste (a paste is not playing) and focus reports (a release made
// in another window never reaches us, so losing focus must release Space).
constexpr char modes_on[] = "\x1b[?2004h\x1b[?1004h";
constexpr char modes_off[] = "\x1b[?1004l\x1b[?2004l";

// --- What the cleanup list may touch ----------------------------------------
// Plain values set before the flags that publish them; only
// async-signal-safe calls (write, tcsetattr) undo them.

termios saved_settings{};
int terminal_fd = -1;
std::atomic<bool> settings_changed{false};
std::atomic<bool> protocol_pushed{false};
std::atomic<bool> session_modes_on{false};

// The terminal's entry on the cleanup list, added once for the whole run:
// the restore does nothing once everything is restored.
int restore_cleanup = -1;

void write_all(int fd, const char* text, size_t length) {
    while (length > 0) {
        const ssize_t n = write(fd, text, length);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;  // a terminal that is gone takes no more
        }
        text += n;
        length -= static_cast<size_t>(n);
    }
}

// Undoes whatever of the session is still in force. Async-signal-safe and
// idempotent: each part is undone by whoever clears its flag first. From
// the background nothing is written or set: the terminal is the shell's
// now, set up as the shell wants it (and setting it would stop the process
// with SIGTTOU).
void restore_terminal_now() {
    const int saved_errno = errno;
    const bool owned = owns_terminal(terminal_fd);
    if (protocol_pushed.exchange(false) && owned) {
        write_all(terminal_fd, protocol_pop, sizeof protocol_pop - 1);
    }
    if (session_modes_on.exchange(false) && owned) {
        write_all(terminal_fd, modes_off, sizeof modes_off - 1);
    }
    if (settings_changed.exchange(false) && owned) {
        // Flush: keys still unread (releases, say) must not reach the shell.
        tcsetattr(terminal_fd, TCSAFLUSH, &saved_settings);
    }
    errno = saved_errno;
}

void restore_terminal_cleanup(void*) {
    restore_terminal_now();
}

// Raw mode from the saved settings: bytes as they are typed, no echo, no
// line editing, and Ctrl-C, Ctrl-Z and Ctrl-\ arriving as bytes instead of
// signals (the instrument quits and suspends itself, cleanly). Output
// processing stays on. True when the terminal took it. `when`: TCSAFLUSH
// drops keys typed before the program was ready for them; TCSANOW keeps
// them (a resume can come after the player has already typed again).
bool enter_raw_mode(int fd, int when = TCSAFLUSH) {
    termios raw = saved_settings;
    raw.c_iflag &= ~static_cast<tcflag_t>(BRKINT | ICRNL | INPCK | ISTRIP | IXON);
    raw.c_cflag |= CS8;
    raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | IEXTEN | ISIG);
    raw.c_cc[VMIN] = 1;  // a read returns as soon as one byte is there
    raw.c_cc[VTIME] = 0;
    settings_changed = true;  // from here on the exit paths restore
    if (tcsetattr(fd, when, &raw) != 0) {
        return false;
    }
    termios now{};
    if (tcgetattr(fd, &now) != 0) {
        return false;
    }
    return (now.c_lflag & (ECHO | ICANON | ISIG)) == 0 && now.c_cc[VMIN] == 1;
}

void switch_session_modes_on(const Terminal& t) {
    if (!t.escape_codes) {
        return;
    }
    if (t.keyboard_protocol) {
        protocol_pushed = true;
        write_all(t.fd, protocol_push, sizeof protocol_push - 1);
    }
    session_modes_on = true;
    write_all(t.fd, modes_on, sizeof modes_on - 1);
}

// Asks the terminal and reads its answers for up to the answer timeout.
// Keys typed meanwhile are decoded as usual.
bool detect_keyboard_protocol(Terminal& t, KeyDecoder& decoder) {
    write_all(t.fd, protocol_query, sizeof protocol_query - 1);
    const Clock clock = system_clock();
    const uint32_t start = clock.now_ms(nullptr);
    // While the answers come in, an ESC byte is the start of one.
    decoder.keyboard_protocol = true;
    uint8_t buffer[256];
    while (!decoder.replies.attributes && stop_signal() == 0) {
        const uint32_t waited = clock.now_ms(nullptr) - start;
        if (waited >= static_cast<uint32_t>(protocol_answer_timeout_ms)) {
            break;
        }
        if (!wait_for_input(t, protocol_answer_timeout_ms - static_cast<int>(waited))) {
            continue;
        }
        const ssize_t n = read_input(t, buffer, sizeof buffer);
        if (n == 0) {
            break;
        }
        if (n > 0) {
            decode_keys(decoder, buffer, static_cast<size_t>(n), clock.now_ms(nullptr));
        }
    }
    decoder.keyboard_protocol = decoder.replies.protocol;
    return decoder.replies.protocol;
}

}  // namespace

bool takes_escape_codes(const char* term) {
    if (term == nullptr) {
        return false;
    }
    for (const char* silent : {"", "dumb", "unknown"}) {
        if (std::strcmp(term, silent) == 0) {
            return false;
        }
    }
    return true;
}

void open_terminal(Terminal& t, int fd, KeyDecoder& decoder, const char* term) {
    t = Terminal{};
    t.fd = fd;
    if (!isatty(fd) || tcgetattr(fd, &saved_settings) != 0) {
        return;
    }
    terminal_fd = fd;
    if (restore_cleanup < 0) {
        restore_cleanup = add_cleanup(restore_terminal_cleanup, nullptr);
        catch_job_control_signals();
    }
    // Started in the background (`pluck &`): played once brought to the
    // foreground.
    if (!wait_for_foreground(fd)) {
        return;
    }
    if (!enter_raw_mode(fd)) {
        // Read it as it is, line by line if it must be.
        restore_terminal_now();
        return;
    }
    t.raw = true;
    t.escape_codes = takes_escape_codes(term);
    if (t.escape_codes) {
        t.keyboard_protocol = detect_keyboard_protocol(t, decoder);
        switch_session_modes_on(t);
    }
}

void close_terminal(Terminal& t) {
    if (t.raw) {
        restore_terminal_now();
        t.raw = false;
    }
}

void suspend_terminal(Terminal& t, KeyDecoder& decoder) {
    restore_terminal_now();
    stop_process();
    // Asked to end meanwhile (`kill %1`), the program ends without taking
    // the terminal back; continued in the background, it waits for `fg`.
    if (t.raw && wait_for_foreground(t.fd)) {
        // The shell may have changed the settings meanwhile: those are now
        // the ones to come back to.
        if (tcgetattr(t.fd, &saved_settings) != 0 || !enter_raw_mode(t.fd)) {
            restore_terminal_now();
            t.raw = false;
        } else {
            switch_session_modes_on(t);
        }
    }
    release_keys(decoder);
}

void resume_terminal(Terminal& t, KeyDecoder& decoder) {
    if (t.raw && wait_for_foreground(t.fd)) {
        // Whoever had the terminal while we were stopped may have reset it.
        // Keys typed since are kept: SIGCONT's flag can be seen after a
        // suspend has already taken the terminal back, and Escape typed
        // right after `fg` must still quit.
        if (!enter_raw_mode(t.fd, TCSANOW)) {
            restore_terminal_now();
            t.raw = false;
        } else {
            // Our protocol entry may still be on the terminal's stack, or
            // may have been reset: pop whatever is on top (nothing, if the
            // stack is empty) and push ours, so that one entry of ours is
            // there either way and the pop at exit leaves the stack as found.
            if (t.keyboard_protocol) {
                write_all(t.fd, protocol_pop, sizeof protocol_pop - 1);
            }
            switch_session_modes_on(t);
        }
    }
    release_keys(decoder);
}

bool quit_signalled() {
    return stop_signal() != 0;
}

bool wait_for_input(const Terminal& t, int timeout_ms) {
    if (t.input_ended) {
        // Ended input is always readable: wait on time and signals alone.
        poll(nullptr, 0, timeout_ms);
        return false;
    }
    pollfd p{t.fd, POLLIN, 0};
    return poll(&p, 1, timeout_ms) > 0;
}

ssize_t read_input(Terminal& t, uint8_t* buffer, size_t capacity) {
    if (t.input_ended) {
        return 0;
    }
    const ssize_t n = read(t.fd, buffer, capacity);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
        return -1;
    }
    if (n <= 0) {
        t.input_ended = true;
        return 0;
    }
    return n;
}

}  // namespace pluck
