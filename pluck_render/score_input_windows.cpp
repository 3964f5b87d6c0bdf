// Windows: the score through its file handle, read with ReadFile, which
// waits on a pipe or a console until bytes come; a stop cancels that wait
// (stop_signals_windows.cpp). On a console, ReadFile itself gives the end of
// the input for a line that starts with Ctrl-Z.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>

#include "pluck_render/score_input.h"
#include "system/stop_signals.h"
#include "system/windows_text.h"

namespace pluck {

namespace {

// A console reads a line at a time, and older ones refuse large reads.
constexpr size_t console_read_bytes = 4096;

bool fail(ScoreInput& input, const std::string& reason) {
    input.error = "cannot read " + input.name + ": " + reason;
    return false;
}

HANDLE handle_of(const ScoreInput& input) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(input.fd));
}

bool is_console(HANDLE handle) {
    DWORD mode = 0;
    return GetConsoleMode(handle, &mode) != 0;
}

}  // namespace

bool open_score_input(ScoreInput& input, const std::string& path) {
    input = ScoreInput{};
    const bool standard = path == "-";
    input.name = standard ? "(standard input)" : path;
    if (standard) {
        input.fd = 0;
    } else {
        const std::wstring name = full_wide_path(path);
        const DWORD attributes = GetFileAttributesW(name.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            return fail(input, "Is a directory");
        }
        // Shared every way, as a program that only reads should open a file.
        const HANDLE file =
            CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return fail(input, system_error_text(GetLastError()));
        }
        input.fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDONLY | _O_BINARY);
        if (input.fd < 0) {
            CloseHandle(file);
            return fail(input, "too many open files");
        }
    }
    LARGE_INTEGER offset{};
    if (GetFileType(handle_of(input)) == FILE_TYPE_DISK &&
        SetFilePointerEx(handle_of(input), LARGE_INTEGER{}, &offset, FILE_CURRENT)) {
        input.start_offset = offset.QuadPart;
    }
    return true;
}

int64_t read_score_input(ScoreInput& input, char* bytes, size_t size) {
    if (stop_signal() != 0) {
        return -1;
    }
    const HANDLE handle = handle_of(input);
    const bool console = is_console(handle);
    const size_t limit = console ? console_read_bytes : MAXDWORD;
    DWORD got = 0;
    if (!ReadFile(handle, bytes, static_cast<DWORD>(std::min(size, limit)), &got, nullptr)) {
        const DWORD error = GetLastError();
        if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF) {
            return 0;  // the writer closed its end: the score is complete
        }
        if (error != ERROR_OPERATION_ABORTED) {
            fail(input, system_error_text(error));
        }
        return -1;
    }
    return got;
}

bool rewind_score_input(ScoreInput& input) {
    LARGE_INTEGER offset{};
    offset.QuadPart = input.start_offset;
    return input.start_offset >= 0 && SetFilePointerEx(handle_of(input), offset, nullptr, FILE_BEGIN);
}

void close_score_input(ScoreInput& input) {
    if (input.fd > 0) {
        _close(input.fd);
    }
    input.fd = -1;
}

}  // namespace pluck
