#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "system/console.h"

namespace pluck {

namespace {

// What a terminal that does not tell its size is taken to be.
constexpr int fallback_terminal_columns = 80;

}  // namespace

bool fill_closed_standard_streams() {
    bool input_closed = false;
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        input_closed = input_closed || fd == STDIN_FILENO;
        // The lowest free number is this one, the lower ones being open by
        // now.
        const int opened = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened > fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
    return input_closed;
}

void use_utf8_arguments(int&, char**&) {}

void flush_console_input() {}

int stderr_terminal_columns() {
    if (isatty(STDERR_FILENO) == 0) {
        return 0;
    }
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) {
        return fallback_terminal_columns;
    }
    return size.ws_col;
}

}  // namespace pluck
