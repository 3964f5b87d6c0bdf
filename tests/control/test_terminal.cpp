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
// program side writes and, once asked, sends `reply` (keys typed, answers).
struct FakeTerminal {
    int master = -1;
    int slave = -1;
    std::string reply;
    std::string written;
    std::atomic<bool> stop{false};
    std::thread reader;

    explicit FakeTerminal(std::string typed_and_answer) : reply(std::move(typed_and_answer)) {
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
            usleep(50000);  // what was written last is still in the pty
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
                EXPECT_EQ(write(master, reply.data(), reply.size()), static_cast<ssize_t>(reply.size()));
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
    FakeTerminal fake("\x1b[?0u\x1b[?62c");
    termios before{};
    ASSERT_EQ(tcgetattr(fake.slave, &before), 0);
    Terminal t;
    KeyDecoder decoder;
    open_terminal(t, fake.slave, decoder, "xterm-256color");
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
    fake.finish();
    const std::string& w = fake.written;
    EXPECT_EQ(w.find("\x1b[?u\x1b[c"), 0u) << "the query comes first";
    EXPECT_LT(w.find("\x1b[>11u"), w.find("\x1b[<u"));
    for (const char* mode :
         {"\x1b[>11u", "\x1b[<u", "\x1b[?2004h", "\x1b[?1004h", "\x1b[?2004l", "\x1b[?1004l"}) {
        EXPECT_EQ(count(w, mode), 1u) << mode + 1;
    }
}

// Without a protocol answer before the attributes (a plain terminal, a late
// answer, no answer at all until the timeout): no protocol, and keys typed
// while the answer was awaited are kept.
TEST(Terminal, OtherTerminalsGetNoProtocolAndKeepEarlyKeys) {
    for (const char* answer : {"\x1b[?62;22c", "\x1b[?62c\x1b[?0u", ""}) {
        SCOPED_TRACE(testing::PrintToString(std::string(answer)));
        FakeTerminal fake(std::string("v") + answer);
        Terminal t;
        KeyDecoder decoder;
        open_terminal(t, fake.slave, decoder, "xterm-256color");
        EXPECT_TRUE(t.raw);
        EXPECT_FALSE(t.keyboard_protocol);
        EXPECT_FALSE(decoder.keyboard_protocol);
        EXPECT_EQ(take_pressed(decoder), 1u << 3);
        close_terminal(t);
        fake.finish();
        EXPECT_EQ(fake.written.find("\x1b[>11u"), std::string::npos);
        EXPECT_EQ(fake.written.find("\x1b[<u"), std::string::npos);
        EXPECT_NE(fake.written.find("\x1b[?2004l"), std::string::npos);
    }
}

}  // namespace
}  // namespace pluck
