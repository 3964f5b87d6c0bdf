#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "control/key_decoder.h"
#include "control/terminal.h"

namespace pluck {
namespace {

// A pseudo-terminal whose master side this test plays: it collects what the
// program side writes and, once asked, answers `reply` (nothing if empty),
// after first typing `typed_before_reply`.
struct FakeTerminal {
    int master = -1;
    int slave = -1;
    std::string reply;
    std::string typed_before_reply;
    std::string written;
    std::atomic<bool> stop{false};
    std::thread reader;

    FakeTerminal(std::string answer, std::string typed)
        : reply(std::move(answer)), typed_before_reply(std::move(typed)) {
        EXPECT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        reader = std::thread([this] { read_side(); });
    }

    ~FakeTerminal() {
        finish();
        close(master);
        close(slave);
    }

    void finish() {
        if (reader.joinable()) {
            stop = true;
            reader.join();
        }
    }

    void read_side() {
        bool answered = false;
        while (!stop) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 10) <= 0) {
                continue;
            }
            char buffer[512];
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n <= 0) {
                continue;
            }
            written.append(buffer, static_cast<size_t>(n));
            if (!answered && written.find("\x1b[c") != std::string::npos) {
                answered = true;
                const std::string out = typed_before_reply + reply;
                if (!out.empty()) {
                    EXPECT_EQ(write(master, out.data(), out.size()), static_cast<ssize_t>(out.size()));
                }
            }
        }
    }
};

bool same_settings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::equal(a.c_cc, a.c_cc + NCCS, b.c_cc);
}

size_t count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

// A terminal that answers the protocol query before the device attributes
// gets the protocol pushed; closing pops it, switches the modes off and puts
// back the exact settings, once however often it is called.
TEST(Terminal, ProtocolTerminalIsSetUpAndRestoredExactly) {
    FakeTerminal fake("\x1b[?0u\x1b[?62c", "");
    termios before{};
    ASSERT_EQ(tcgetattr(fake.slave, &before), 0);
    Terminal t;
    KeyDecoder decoder;
    open_terminal(t, fake.slave, decoder);
    EXPECT_TRUE(t.raw);
    EXPECT_TRUE(t.keyboard_protocol);
    EXPECT_TRUE(decoder.keyboard_protocol);
    termios during{};
    ASSERT_EQ(tcgetattr(fake.slave, &during), 0);
    EXPECT_EQ(during.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
    EXPECT_EQ(during.c_iflag & (ICRNL | IXON), 0u);
    EXPECT_EQ(during.c_cc[VMIN], 1);
    EXPECT_NE(during.c_oflag & OPOST, 0u) << "output processing must stay on";

    close_terminal(t);
    close_terminal(t);
    termios after{};
    ASSERT_EQ(tcgetattr(fake.slave, &after), 0);
    EXPECT_TRUE(same_settings(before, after));
    usleep(50000);
    fake.finish();
    const std::string& w = fake.written;
    EXPECT_EQ(w.find("\x1b[?u\x1b[c"), 0u) << "the query comes first";
    EXPECT_LT(w.find("\x1b[>11u"), w.find("\x1b[<u"));
    EXPECT_EQ(count(w, "\x1b[>11u"), 1u);
    EXPECT_EQ(count(w, "\x1b[<u"), 1u);
    EXPECT_EQ(count(w, "\x1b[?2004h"), 1u);
    EXPECT_EQ(count(w, "\x1b[?1004h"), 1u);
    EXPECT_EQ(count(w, "\x1b[?2004l"), 1u);
    EXPECT_EQ(count(w, "\x1b[?1004l"), 1u);
}

// A plain terminal answers only the attributes: no protocol, and keys typed
// while the answer was awaited are kept.
TEST(Terminal, PlainTerminalGetsNoProtocolAndKeepsEarlyKeys) {
    FakeTerminal fake("\x1b[?62;22c", "v");
    Terminal t;
    KeyDecoder decoder;
    open_terminal(t, fake.slave, decoder);
    EXPECT_TRUE(t.raw);
    EXPECT_FALSE(t.keyboard_protocol);
    EXPECT_FALSE(decoder.keyboard_protocol);
    EXPECT_EQ(take_pressed(decoder), 1u << 3);
    close_terminal(t);
    usleep(50000);
    fake.finish();
    EXPECT_EQ(fake.written.find("\x1b[>11u"), std::string::npos);
    EXPECT_EQ(fake.written.find("\x1b[<u"), std::string::npos);
    EXPECT_NE(fake.written.find("\x1b[?2004l"), std::string::npos);
}

// A protocol answer that comes after the attributes is not support, and a
// terminal that never answers is given up on after the timeout.
TEST(Terminal, LateOrMissingAnswersMeanNoProtocol) {
    {
        FakeTerminal fake("\x1b[?62c\x1b[?0u", "");
        Terminal t;
        KeyDecoder decoder;
        open_terminal(t, fake.slave, decoder);
        EXPECT_FALSE(t.keyboard_protocol);
        close_terminal(t);
    }
    {
        FakeTerminal fake("", "");
        Terminal t;
        KeyDecoder decoder;
        open_terminal(t, fake.slave, decoder);
        EXPECT_TRUE(t.raw);
        EXPECT_FALSE(t.keyboard_protocol);
        close_terminal(t);
    }
}

}  // namespace
}  // namespace pluck
