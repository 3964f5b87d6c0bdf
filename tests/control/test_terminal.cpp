#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>

#include "control/key_decoder.h"
#include "control/terminal.h"

namespace pluck {
namespace {

size_t count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

// A pseudo-terminal whose far side answers the device-attributes query with
// `reply` (keys typed first, then the answers, or nothing at all: the
// timeout). The terminal is set up and closed twice; the settings must come
// back exactly, each mode switched on and off once, the keyboard protocol
// pushed and popped only for a terminal that answered its query before the
// attributes, and the keys typed meanwhile kept.
TEST(Terminal, SetUpAndRestoredExactly) {
    for (const auto& [reply, protocol] :
         {std::pair{"v\x1b[?0u\x1b[?62c", true}, std::pair{"v\x1b[?62;22c", false},
          std::pair{"v\x1b[?62c\x1b[?0u", false}, std::pair{"v", false}}) {
        SCOPED_TRACE(testing::PrintToString(std::string(reply)));
        int master = -1, slave = -1;
        ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        std::string written;
        std::atomic<bool> stop{false};
        std::thread far_side([&, reply = std::string(reply)] {
            bool answered = false;
            char buffer[512];
            for (pollfd p{master, POLLIN, 0}; !stop;) {
                const ssize_t n = poll(&p, 1, 10) > 0 ? read(master, buffer, sizeof buffer) : 0;
                written.append(buffer, static_cast<size_t>(std::max<ssize_t>(n, 0)));
                if (!answered && written.find("\x1b[c") != std::string::npos) {
                    answered = write(master, reply.data(), reply.size()) > 0;
                }
            }
        });
        termios before{}, during{}, after{};
        tcgetattr(slave, &before);
        Terminal t;
        KeyDecoder decoder;
        open_terminal(t, slave, decoder, "xterm-256color");
        tcgetattr(slave, &during);
        EXPECT_TRUE(t.raw);
        EXPECT_EQ(t.keyboard_protocol, protocol);
        EXPECT_EQ(decoder.keyboard_protocol, protocol);
        EXPECT_EQ(take_pressed(decoder), 1u << 3) << "the key typed during the query";
        EXPECT_EQ(during.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
        EXPECT_EQ(during.c_iflag & (ICRNL | IXON), 0u);
        EXPECT_EQ(during.c_cc[VMIN], 1);
        EXPECT_NE(during.c_oflag & OPOST, 0u) << "output processing must stay on";
        close_terminal(t);
        close_terminal(t);
        tcgetattr(slave, &after);
        usleep(50000);  // what was written last is still in the pty
        stop = true;
        far_side.join();
        close(master);
        close(slave);
        EXPECT_TRUE(after.c_iflag == before.c_iflag && after.c_oflag == before.c_oflag &&
                    after.c_cflag == before.c_cflag && after.c_lflag == before.c_lflag &&
                    std::equal(after.c_cc, after.c_cc + NCCS, before.c_cc));
        EXPECT_EQ(written.find("\x1b[?u\x1b[c"), 0u) << "the query comes first";
        EXPECT_LE(written.find("\x1b[>11u"), written.find("\x1b[<u"));
        EXPECT_EQ(count(written, "\x1b[>11u") + count(written, "\x1b[<u"), protocol ? 2u : 0u);
        for (const char* mode : {"\x1b[?2004h", "\x1b[?1004h", "\x1b[?2004l", "\x1b[?1004l"}) {
            EXPECT_EQ(count(written, mode), 1u) << mode + 1;
        }
    }
}

}  // namespace
}  // namespace pluck
