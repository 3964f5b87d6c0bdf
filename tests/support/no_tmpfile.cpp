// Loaded with LD_PRELOAD: openat() with O_TMPFILE fails as on a file system
// that does not support it, and everything else is passed on.
#include <dlfcn.h>
#include <fcntl.h>

#include <cerrno>
#include <cstdarg>

extern "C" int openat(int dir_fd, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const auto mode = static_cast<mode_t>(va_arg(args, unsigned));
    va_end(args);
    if ((flags & O_TMPFILE) == O_TMPFILE) {
        errno = EOPNOTSUPP;
        return -1;
    }
    using Openat = int (*)(int, const char*, int, ...);
    static const auto real = reinterpret_cast<Openat>(dlsym(RTLD_NEXT, "openat"));
    return real(dir_fd, path, flags, mode);
}
