// Loaded with LD_PRELOAD: open() and openat() with O_TMPFILE fail as on a
// file system that does not support it, and everything else is passed on.
#include <dlfcn.h>
#include <fcntl.h>

#include <cerrno>
#include <cstdarg>

namespace {

template <typename Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int openat(int dir_fd, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const auto mode = static_cast<mode_t>(va_arg(args, unsigned));
    va_end(args);
    if ((flags & O_TMPFILE) == O_TMPFILE) {
        errno = EOPNOTSUPP;
        return -1;
    }
    static const auto real = next<int (*)(int, const char*, int, ...)>("openat");
    return real(dir_fd, path, flags, mode);
}

extern "C" int openat64(int dir_fd, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const auto mode = static_cast<mode_t>(va_arg(args, unsigned));
    va_end(args);
    return openat(dir_fd, path, flags, mode);
}
