// Catches what this process writes to one of its own file descriptors
// (standard error, say) in a file, for a test to read back.
#pragma once

#include <string>

namespace pluck::test {

struct FdCapture {
    int fd = -1;        // the descriptor being caught
    int saved_fd = -1;  // where it pointed before
    std::string path;   // the file that catches it
    std::string error;

    FdCapture() = default;
    FdCapture(const FdCapture&) = delete;
    FdCapture& operator=(const FdCapture&) = delete;
    ~FdCapture();
};

// Points `fd` at a new temporary file. Returns false (see `error`) on failure.
bool begin_capture(FdCapture& capture, int fd);

// Points `fd` back where it was and returns everything written meanwhile.
// Safe to call again; the destructor calls it.
std::string end_capture(FdCapture& capture);

}  // namespace pluck::test
