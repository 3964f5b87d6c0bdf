#include "audio/no_sound.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace pluck {

void write_no_sound_line(char* out, size_t size, const char* format, ...) {
    if (size == 0) {
        return;
    }
    const int prefix = std::snprintf(out, size, "pluck: no sound: ");
    const size_t at = prefix < 0 ? 0 : std::min(static_cast<size_t>(prefix), size - 1);
    std::va_list args;
    va_start(args, format);
    std::vsnprintf(out + at, size - at, format, args);
    va_end(args);
    // One line, ended by its newline even when cut short.
    const size_t length = std::strlen(out);
    if (length + 1 < size) {
        out[length] = '\n';
        out[length + 1] = '\0';
    } else {
        out[size > 1 ? size - 2 : 0] = '\n';
        out[size - 1] = '\0';
    }
}

void say_no_sound_line(const char* line) {
    std::fputs(line, stderr);
    std::fflush(stderr);
}

}  // namespace pluck
