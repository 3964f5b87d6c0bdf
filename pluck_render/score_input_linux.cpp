#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "pluck_render/score_input.h"
#include "system/stop_signals.h"

namespace pluck {

namespace {

bool fail(ScoreInput& input, int error_number) {
    input.error = "cannot read " + input.name + ": " + std::strerror(error_number);
    return false;
}

}  // namespace

bool open_score_input(ScoreInput& input, const std::string& path) {
    input = ScoreInput{};
    const bool standard = path == "-";
    input.name = standard ? "(standard input)" : path;
    input.fd = standard ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (input.fd < 0 || fstat(input.fd, &st) != 0) {
        return fail(input, errno);
    }
    // A directory opens, and fails only when read: say so before anything
    // else happens.
    if (S_ISDIR(st.st_mode)) {
        close_score_input(input);
        return fail(input, EISDIR);
    }
    if (S_ISREG(st.st_mode)) {
        input.start_offset = lseek(input.fd, 0, SEEK_CUR);
    }
    return true;
}

int64_t read_score_input(ScoreInput& input, char* bytes, size_t size) {
    pollfd waits[2] = {{input.fd, POLLIN, 0}, {stop_signal_fd(), POLLIN, 0}};
    if (poll(waits, 2, -1) < 0) {
        if (errno != EINTR) {
            fail(input, errno);
        }
        return -1;
    }
    if (waits[1].revents != 0) {
        return -1;
    }
    const ssize_t got = read(input.fd, bytes, size);
    if (got < 0 && errno != EINTR) {
        fail(input, errno);
    }
    return got;
}

bool rewind_score_input(ScoreInput& input) {
    return input.start_offset >= 0 && lseek(input.fd, input.start_offset, SEEK_SET) == input.start_offset;
}

void close_score_input(ScoreInput& input) {
    if (input.fd > STDIN_FILENO) {
        close(input.fd);
    }
    input.fd = -1;
}

}  // namespace pluck
