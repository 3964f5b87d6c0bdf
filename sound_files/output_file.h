// A sound file being written: pluck-render's output or pluck's recording.
// It takes the name asked for only once complete, and until then an earlier
// file of that name is untouched. A render has no name while it is written
// (or a short hidden one), and one that fails or is stopped leaves no
// partial file. A take (pluck's recording) is written as PATH.part, a
// visible name of its own that stays whatever happens to the program, so
// that a crash or a power cut leaves the player what was recorded. An output
// that would be refused (the program's own input, a directory, a file the
// user may not write or replace) is refused when opened, before any sound is
// written.
//
// Names: `-o link.wav` writes the file the link points to (and creates it if
// it does not exist yet); the link stays. A file that is replaced keeps its
// permission bits and, where the user may set them, its owner and group. A
// file with other hard links is overwritten in place once the sound is
// complete, so that every one of its names holds the new sound; only there
// is the file briefly incomplete, while the finished sound is copied in,
// and two programs copying in at once take turns (a lock on the file), so
// that it always ends up holding one whole file.
#pragma once

#include <cstdint>
#include <string>

#include "sound_files/byte_sink.h"
#include "system/cleanup.h"

namespace pluck {

struct OutputFile {
    std::string path;  // as asked for, for messages
    // The directory and name of the file that is replaced or made, with
    // every symbolic link on the way followed.
    std::string dir;
    std::string name;
    int dir_fd = -1;
    int fd = -1;             // the file being written
    bool anonymous = false;  // it has no name at all until it is committed
    std::string temp_name;   // else its short hidden name in `dir`, or NAME.part
    bool take = false;       // temp_name is NAME.part: the player's, never removed
    std::string part_path;   // NAME.part as the messages name it
    int cleanup = -1;        // the name's removal on the cleanup list
    uint64_t size = 0;       // bytes written (a write that failed part way included)
    unsigned new_file_mode = 0;
    // When a call returns false: "cannot write PATH: reason".
    std::string error;
};

// Each system's opener behind the two below.
bool open_output(OutputFile& out, const std::string& path, int input_fd, bool take);

// Opens an unnamed file beside the file `path` names, or refuses: when that
// file is the one the program reads (`input_fd`: pluck-render's score; -1
// for none), a directory or anything but a regular file, or one that cannot
// be written or replaced.
inline bool open_output_file(OutputFile& out, const std::string& path, int input_fd) {
    return open_output(out, path, input_fd, false);
}

// Opens PATH.part beside the file `path` names (after any links), refusing
// what open_output_file() refuses and a PATH.part that is already there (a
// take kept from an earlier run).
inline bool open_take_file(OutputFile& out, const std::string& path) {
    return open_output(out, path, -1, true);
}

// Whether `path` names the file open as `fd` (by any of its names).
bool names_open_file(const std::string& path, int fd);

// Writes to the file; a failure's reason goes to `out.error`.
ByteSink output_file_sink(OutputFile& out);

// Puts what was written so far on the disk itself, where a power cut
// leaves it.
bool sync_output_file(OutputFile& out);

// Cuts the file to its first `size` bytes.
bool truncate_output_file(OutputFile& out, uint64_t size);

// Puts the file on disk under its name, replacing any file there. On
// failure the unnamed file is discarded (a take keeps its .part name).
bool commit_output_file(OutputFile& out);

// Closes and forgets the unnamed file; a take is closed and left as it is.
// Safe to call at any point, and again.
void discard_output_file(OutputFile& out);

// Once the temporary file has taken the target's name there is nothing left
// to remove, on a crash or a discard: each system's commit ends with this.
inline void keep_named_file(OutputFile& out) {
    remove_cleanup(out.cleanup);
    out.temp_name.clear();
}

}  // namespace pluck
