#include "tests/support/fd_capture.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace pluck::test {

FdCapture::~FdCapture() {
    end_capture(*this);
}

bool begin_capture(FdCapture& capture, int fd) {
    char pattern[] = "/tmp/pluck-capture-XXXXXX";
    const int file = mkstemp(pattern);
    if (file < 0) {
        capture.error = std::string("mkstemp: ") + std::strerror(errno);
        return false;
    }
    std::fflush(nullptr);  // what stdio buffered before belongs to the old target
    capture.saved_fd = dup(fd);
    if (capture.saved_fd < 0 || dup2(file, fd) < 0) {
        capture.error = std::string("dup: ") + std::strerror(errno);
        close(file);
        unlink(pattern);
        return false;
    }
    close(file);
    capture.fd = fd;
    capture.path = pattern;
    return true;
}

std::string end_capture(FdCapture& capture) {
    if (capture.fd < 0) {
        return {};
    }
    std::fflush(nullptr);
    dup2(capture.saved_fd, capture.fd);
    close(capture.saved_fd);
    capture.fd = -1;
    std::ifstream in(capture.path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    unlink(capture.path.c_str());
    return text;
}

}  // namespace pluck::test
