// Linux: the file is made with O_TMPFILE, which has no name, so that even a
// SIGKILL or a power cut mid-render leaves nothing behind; at the end it is
// linked under a short hidden name (through /proc/self/fd, which needs no
// privilege) and renamed over the target. Where the file system has no
// O_TMPFILE (or /proc is missing), the file gets the short hidden name from
// the start, and the cleanup list removes it however the program ends
// (but for SIGKILL and a power cut). A take is written as NAME.part from
// the start and is on no cleanup list: whatever ends the program, it stays.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include "sound_files/output_file.h"
#include "system/cleanup.h"

namespace pluck {

namespace {

// As the kernel allows when it resolves a path itself.
constexpr int max_link_hops = 40;
constexpr int temp_name_attempts = 100;
// Bytes copied at once into a hard-linked file.
constexpr size_t copy_block_bytes = 1 << 20;

// On the cleanup list while the file has its temporary name: a crash or a
// signal that ends the program at once removes it. The name stays as it is
// until the entry is off the list, and the file where it is.
void remove_temp_file(void* context) {
    const OutputFile& out = *static_cast<const OutputFile*>(context);
    unlinkat(out.dir_fd, out.temp_name.c_str(), 0);
}

bool fail(OutputFile& out, int error_number) {
    out.error = "cannot write " + out.path + ": " + std::strerror(error_number);
    return false;
}

bool fail(OutputFile& out, const std::string& reason) {
    out.error = "cannot write " + out.path + ": " + reason;
    return false;
}

// Splits `path` into its directory ("." for none) and its last name.
void split_path(const std::string& path, std::string& dir, std::string& name) {
    const size_t slash = path.rfind('/');
    dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    name = slash == std::string::npos ? path : path.substr(slash + 1);
}

// Follows symbolic links from `path` to the file they lead to, which need
// not exist yet. False with errno set if a link cannot be read.
bool follow_links(const std::string& path, std::string& dir, std::string& name) {
    split_path(path, dir, name);
    for (int hop = 0; hop < max_link_hops; ++hop) {
        const std::string at = dir + "/" + name;
        struct stat st {};
        if (lstat(at.c_str(), &st) != 0) {
            return errno == ENOENT;  // a new file
        }
        if (!S_ISLNK(st.st_mode)) {
            return true;
        }
        char target[PATH_MAX];
        const ssize_t length = readlink(at.c_str(), target, sizeof target);
        if (length < 0 || static_cast<size_t>(length) == sizeof target) {
            errno = length < 0 ? errno : ENAMETOOLONG;
            return false;
        }
        const std::string next(target, static_cast<size_t>(length));
        split_path(next.front() == '/' ? next : dir + "/" + next, dir, name);
    }
    errno = ELOOP;
    return false;
}

std::string proc_fd_path(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

// The unnamed file, if the file system and /proc allow it.
bool open_anonymous(OutputFile& out) {
    out.fd = openat(out.dir_fd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (out.fd >= 0 && access(proc_fd_path(out.fd).c_str(), F_OK) != 0) {
        close(out.fd);
        out.fd = -1;
        errno = EOPNOTSUPP;
    }
    out.anonymous = out.fd >= 0;
    return out.anonymous;
}

// A short name, so that a target name of any valid length still works.
std::string temp_name_for(int attempt) {
    return ".pluck-" + std::to_string(getpid()) + "-" + std::to_string(attempt);
}

// Tries the short names in turn until `make(name)` makes one that was not
// there (false: it failed for another reason, with errno set); the name is
// then the temporary file's. Each name is on the cleanup list before it is
// made, so that no signal finds the file there and not on the list; a name
// already there has this process's id, so it is a leftover of an earlier
// process that had it.
template <typename Make>
bool take_temp_name(OutputFile& out, Make make) {
    for (int attempt = 0; attempt < temp_name_attempts; ++attempt) {
        out.temp_name = temp_name_for(attempt);
        out.cleanup = add_cleanup(remove_temp_file, &out);
        if (make(out.temp_name)) {
            return true;
        }
        const int error_number = errno;
        remove_cleanup(out.cleanup);
        out.temp_name.clear();
        if (error_number != EEXIST) {
            errno = error_number;
            return false;
        }
    }
    return false;
}

// A take's own name, made here and nowhere else: a NAME.part already there
// is an earlier take, which is the player's.
bool open_take(OutputFile& out) {
    out.take = true;
    out.fd = openat(out.dir_fd, (out.name + ".part").c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (out.fd < 0) {
        return errno == EEXIST ? fail(out, out.part_path +
                                               " already exists, perhaps a take kept from an earlier "
                                               "run; play it, rename it or remove it first")
                               : fail(out, errno);
    }
    out.temp_name = out.name + ".part";
    return true;
}

bool open_named(OutputFile& out) {
    return take_temp_name(out, [&out](const std::string& name) {
        out.fd = openat(out.dir_fd, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        return out.fd >= 0;
    });
}

// Gives the finished file the name `out.temp_name` in its directory.
bool link_anonymous(OutputFile& out) {
    const std::string from = proc_fd_path(out.fd);
    return take_temp_name(out, [&](const std::string& name) {
        return linkat(AT_FDCWD, from.c_str(), out.dir_fd, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
    });
}

// The file as the target had it: owner and group where allowed (a user
// may give a file only to a group of their own), then the permission bits,
// which a change of owner may have cleared.
void take_over_attributes(const OutputFile& out, const struct stat& target) {
    if (fchown(out.fd, target.st_uid, target.st_gid) != 0) {
        [[maybe_unused]] const int ignored = fchown(out.fd, static_cast<uid_t>(-1), target.st_gid);
    }
    fchmod(out.fd, target.st_mode & 07777);
}

// Writes all of `size` bytes at `offset`: 0, or the reason it could not;
// `done` bytes were written either way.
int write_all(int fd, uint64_t offset, const char* bytes, size_t size, size_t& done) {
    for (done = 0; done < size;) {
        const ssize_t n = pwrite(fd, bytes + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n < 0 ? errno : EIO;
        }
        done += static_cast<size_t>(n);
    }
    return 0;
}

// Copies the finished file over a file that has other hard links, so that
// every link holds the new sound.
bool copy_in_place(OutputFile& out) {
    const int target = openat(out.dir_fd, out.name.c_str(), O_WRONLY | O_CLOEXEC);
    if (target < 0) {
        return fail(out, errno);
    }
    // Whoever copies into the file by another of its names waits for this
    // copy to end, and this one for theirs: one whole file, never a mix.
    while (flock(target, LOCK_EX) != 0 && errno == EINTR) {
    }
    std::vector<char> block(copy_block_bytes);
    int error_number = 0;
    for (uint64_t done = 0; error_number == 0 && done < out.size;) {
        const ssize_t got = pread(out.fd, block.data(), std::min<uint64_t>(block.size(), out.size - done),
                                  static_cast<off_t>(done));
        if (got <= 0) {
            error_number = got < 0 ? errno : EIO;
            break;
        }
        size_t written = 0;
        error_number = write_all(target, done, block.data(), static_cast<size_t>(got), written);
        done += written;
    }
    if (error_number == 0 && (ftruncate(target, static_cast<off_t>(out.size)) != 0 || fsync(target) != 0)) {
        error_number = errno;
    }
    if (close(target) != 0 && error_number == 0) {
        error_number = errno;
    }
    return error_number == 0 || fail(out, error_number);
}

bool write_at(void* context, uint64_t offset, const void* bytes, size_t size) {
    OutputFile& out = *static_cast<OutputFile*>(context);
    size_t done = 0;
    const int error_number = write_all(out.fd, offset, static_cast<const char*>(bytes), size, done);
    out.size = std::max<uint64_t>(out.size, offset + done);
    return error_number == 0 || fail(out, error_number);
}

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether a file may be renamed over `target`: in a sticky folder (/tmp)
// only the file's owner, the folder's or root may.
bool may_replace(const OutputFile& out, const struct stat& target) {
    struct stat dir {};
    const uid_t me = geteuid();
    return fstat(out.dir_fd, &dir) != 0 || (dir.st_mode & S_ISVTX) == 0 || me == 0 || target.st_uid == me ||
           dir.st_uid == me;
}

// Everything open_output_file() and open_take_file() do, leaving what it
// opened on failure.
bool open_checked(OutputFile& out, int input_fd, bool take) {
    if (!follow_links(out.path, out.dir, out.name)) {
        return fail(out, errno);
    }
    std::string asked_dir;
    std::string asked_name;
    split_path(out.path, asked_dir, asked_name);
    out.part_path =
        (asked_dir == out.dir && asked_name == out.name ? out.path : out.dir + "/" + out.name) + ".part";
    out.dir_fd = open(out.dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (out.dir_fd < 0) {
        return fail(out, errno);
    }
    struct stat target {};
    struct stat input {};
    if (fstatat(out.dir_fd, out.name.c_str(), &target, 0) == 0) {
        if (S_ISDIR(target.st_mode)) {
            return fail(out, EISDIR);
        }
        if (!S_ISREG(target.st_mode)) {
            return fail(out, "not a regular file");
        }
        if (input_fd >= 0 && fstat(input_fd, &input) == 0 && same_file(input, target)) {
            return fail(out, "it is the score being read");
        }
        if (faccessat(out.dir_fd, out.name.c_str(), W_OK, AT_EACCESS) != 0) {
            return fail(out, errno);
        }
        // A file with other links is copied into, not replaced.
        if (target.st_nlink == 1 && !may_replace(out, target)) {
            return fail(out,
                        "it is another user's, in a folder whose sticky bit lets only its owner replace it");
        }
    } else if (errno != ENOENT) {
        return fail(out, errno);
    }
    if (take) {
        return open_take(out);
    }
    if (!open_anonymous(out) && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        return fail(out, errno);
    }
    return out.fd >= 0 || open_named(out) || fail(out, errno);
}

}  // namespace

bool open_output(OutputFile& out, const std::string& path, int input_fd, bool take) {
    out = OutputFile{};
    out.path = path;
    const mode_t mask = umask(0);
    umask(mask);
    out.new_file_mode = 0666 & ~mask;
    if (!open_checked(out, input_fd, take)) {
        discard_output_file(out);
        return false;
    }
    return true;
}

bool names_open_file(const std::string& path, int fd) {
    struct stat named {};
    struct stat open {};
    return fd >= 0 && stat(path.c_str(), &named) == 0 && fstat(fd, &open) == 0 && same_file(named, open);
}

ByteSink output_file_sink(OutputFile& out) {
    return ByteSink{write_at, &out};
}

bool sync_output_file(OutputFile& out) {
    return fdatasync(out.fd) == 0 || fail(out, errno);
}

bool truncate_output_file(OutputFile& out, uint64_t size) {
    if (ftruncate(out.fd, static_cast<off_t>(size)) != 0) {
        return fail(out, errno);
    }
    out.size = std::min(out.size, size);
    return true;
}

bool commit_output_file(OutputFile& out) {
    // On disk before it takes the name: a crash must not leave a named but
    // empty file in place of the old one.
    if (fsync(out.fd) != 0) {
        fail(out, errno);
        discard_output_file(out);
        return false;
    }
    struct stat target {};
    const bool exists = fstatat(out.dir_fd, out.name.c_str(), &target, 0) == 0;
    bool ok = true;
    if (exists && S_ISREG(target.st_mode) && target.st_nlink > 1) {
        ok = copy_in_place(out);
        if (ok && out.take) {
            unlinkat(out.dir_fd, out.temp_name.c_str(), 0);
            keep_named_file(out);
        }
    } else {
        if (exists) {
            take_over_attributes(out, target);
        } else {
            fchmod(out.fd, out.new_file_mode);
        }
        ok = (!out.anonymous || link_anonymous(out) || fail(out, errno)) &&
             (renameat(out.dir_fd, out.temp_name.c_str(), out.dir_fd, out.name.c_str()) == 0 ||
              fail(out, errno));
        if (ok) {
            keep_named_file(out);
        }
    }
    discard_output_file(out);
    return ok;
}

void discard_output_file(OutputFile& out) {
    if (out.fd >= 0) {
        close(out.fd);
        out.fd = -1;
    }
    if (!out.temp_name.empty()) {
        if (!out.take) {
            unlinkat(out.dir_fd, out.temp_name.c_str(), 0);
        }
        remove_cleanup(out.cleanup);
        out.temp_name.clear();
    }
    if (out.dir_fd >= 0) {
        close(out.dir_fd);
        out.dir_fd = -1;
    }
}

}  // namespace pluck
