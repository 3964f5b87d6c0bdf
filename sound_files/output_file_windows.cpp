// Windows: the file is written under a short name beside the target
// (".pluck-PID-N"), marked for deletion from the moment it is made, and
// takes the target's name with MoveFileExW once it is complete and on disk,
// the mark cleared just before. So the system deletes it when its handle
// closes, however the process ends (a crash, Task Manager, taskkill /F, or
// under Wine a TERM, HUP or QUIT, which run none of the program's code); a
// failed or stopped render deletes it too, and only a power cut can leave
// it. A take is written as NAME.part from the start, is never marked and is
// on no cleanup list: whatever ends the program, it stays.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>

#include "sound_files/output_file.h"
#include "system/cleanup.h"
#include "system/windows_text.h"

namespace pluck {

namespace {

constexpr int temp_name_attempts = 100;
// Bytes handed to one WriteFile call.
constexpr size_t write_block_bytes = size_t{1} << 30;

// The temporary file's path, for the cleanup list (a crash runs it), kept
// where its entry can reach it without allocating: the longest path Windows
// allows fits. A program writes one file at a time.
wchar_t crash_cleanup_path[32768];

void remove_temp_file(void* context) {
    DeleteFileW(static_cast<const wchar_t*>(context));
}

void remember_for_crash(OutputFile& out, const std::wstring& path) {
    const size_t length = std::min(path.size(), std::size(crash_cleanup_path) - 1);
    std::copy_n(path.c_str(), length, crash_cleanup_path);
    crash_cleanup_path[length] = L'\0';
    out.cleanup = add_cleanup(remove_temp_file, crash_cleanup_path);
}

bool fail(OutputFile& out, const std::string& reason) {
    out.error = "cannot write " + out.path + ": " + reason;
    return false;
}

bool fail_with_last_error(OutputFile& out) {
    return fail(out, system_error_text(GetLastError()));
}

HANDLE handle_of(int fd) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

// Whether the system deletes the file once its last handle closes.
bool mark_for_deletion(HANDLE file, bool marked) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = marked ? TRUE : FALSE;
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
}

std::wstring temp_path_of(const OutputFile& out) {
    return wide_text(out.dir) + L"\\" + wide_text(out.temp_name);
}

bool same_file(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION x{};
    BY_HANDLE_FILE_INFORMATION y{};
    return GetFileInformationByHandle(a, &x) && GetFileInformationByHandle(b, &y) &&
           x.dwVolumeSerialNumber == y.dwVolumeSerialNumber && x.nFileIndexHigh == y.nFileIndexHigh &&
           x.nFileIndexLow == y.nFileIndexLow;
}

// Why the existing file `file` may not be replaced by the render, or "";
// else `target` becomes its own path, with any link on the way followed.
std::string check_existing(HANDLE file, int input_fd, std::wstring& target) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(file) != FILE_TYPE_DISK) {
        return "not a regular file";
    }
    if (!GetFileInformationByHandle(file, &info)) {
        return system_error_text(GetLastError());
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return "Is a directory";
    }
    if (input_fd >= 0 && same_file(file, handle_of(input_fd))) {
        return "it is the score being read";
    }
    std::wstring final_path(32768, L'\0');
    const DWORD length =
        GetFinalPathNameByHandleW(file, final_path.data(), static_cast<DWORD>(final_path.size()),
                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length > 0 && length < final_path.size()) {
        final_path.resize(length);
        target = final_path;
    }
    return "";
}

// A take's own name, made here and nowhere else: a NAME.part already there
// is an earlier take, which is the player's. Others may read it meanwhile.
bool open_take(OutputFile& out, const std::wstring& dir) {
    out.take = true;
    const std::wstring path = dir + L"\\" + wide_text(out.name) + L".part";
    const HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return GetLastError() == ERROR_FILE_EXISTS
                   ? fail(out, out.part_path +
                                   " already exists, perhaps a take kept from an earlier run; play it, "
                                   "rename it or remove it first")
                   : fail_with_last_error(out);
    }
    out.temp_name = out.name + ".part";
    out.fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDWR | _O_BINARY);
    if (out.fd < 0) {
        CloseHandle(file);
        return fail(out, "too many open files");
    }
    return true;
}

// Everything open_output_file() and open_take_file() do, leaving what it
// opened on failure.
bool open_checked(OutputFile& out, int input_fd, bool take) {
    std::wstring target = full_wide_path(out.path);
    const DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    // Backup semantics: a folder opens too, to be refused by name.
    const HANDLE existing = CreateFileW(target.c_str(), FILE_READ_ATTRIBUTES, share_all, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (existing != INVALID_HANDLE_VALUE) {
        const std::string refusal = check_existing(existing, input_fd, target);
        CloseHandle(existing);
        if (!refusal.empty()) {
            return fail(out, refusal);
        }
        // Opening it for writing asks whether it may be replaced (a
        // read-only file, one another program holds) and changes nothing.
        const HANDLE writable = CreateFileW(target.c_str(), GENERIC_WRITE, share_all, nullptr, OPEN_EXISTING,
                                            FILE_ATTRIBUTE_NORMAL, nullptr);
        if (writable == INVALID_HANDLE_VALUE) {
            return fail_with_last_error(out);
        }
        CloseHandle(writable);
    } else if (GetLastError() != ERROR_FILE_NOT_FOUND) {
        return fail_with_last_error(out);
    }
    const size_t slash = target.rfind(L'\\');
    out.dir = utf8_text(target.substr(0, slash));
    out.name = utf8_text(target.substr(slash + 1));
    out.part_path = out.path + ".part";
    if (take) {
        return open_take(out, target.substr(0, slash));
    }
    for (int attempt = 0; attempt < temp_name_attempts; ++attempt) {
        const std::wstring name =
            L".pluck-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(attempt);
        const std::wstring path = target.substr(0, slash) + L"\\" + name;
        // Shared for deletion only: so that the crash handler can delete it,
        // and MoveFileExW rename it.
        const HANDLE file =
            CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_DELETE, nullptr,
                        CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_FILE_EXISTS) {
                continue;
            }
            return fail_with_last_error(out);
        }
        out.temp_name = utf8_text(name);
        remember_for_crash(out, path);
        if (!mark_for_deletion(file, true)) {
            CloseHandle(file);
            return fail_with_last_error(out);
        }
        out.fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDWR | _O_BINARY);
        if (out.fd < 0) {
            CloseHandle(file);
            return fail(out, "too many open files");
        }
        return true;
    }
    return fail(out, "no free temporary name");
}

bool write_at(void* context, uint64_t offset, const void* bytes, size_t size) {
    OutputFile& out = *static_cast<OutputFile*>(context);
    const HANDLE file = handle_of(out.fd);
    for (size_t done = 0; done < size;) {
        const uint64_t at = offset + done;
        OVERLAPPED position{};
        position.Offset = static_cast<DWORD>(at);
        position.OffsetHigh = static_cast<DWORD>(at >> 32);
        DWORD written = 0;
        const bool wrote =
            WriteFile(file, static_cast<const char*>(bytes) + done,
                      static_cast<DWORD>(std::min(size - done, write_block_bytes)), &written, &position);
        done += written;
        out.size = std::max<uint64_t>(out.size, offset + done);
        // A stop cancels the main thread's waits, perhaps a write too:
        // that is no failure of the disk.
        if (!wrote && GetLastError() != ERROR_OPERATION_ABORTED) {
            return fail_with_last_error(out);
        }
    }
    return true;
}

}  // namespace

bool open_output(OutputFile& out, const std::string& path, int input_fd, bool take) {
    out = OutputFile{};
    out.path = path;
    if (!open_checked(out, input_fd, take)) {
        discard_output_file(out);
        return false;
    }
    return true;
}

bool names_open_file(const std::string& path, int fd) {
    const HANDLE named = CreateFileW(full_wide_path(path).c_str(), FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (named == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool same = fd >= 0 && same_file(named, handle_of(fd));
    CloseHandle(named);
    return same;
}

bool sync_output_file(OutputFile& out) {
    return FlushFileBuffers(handle_of(out.fd)) || fail_with_last_error(out);
}

bool truncate_output_file(OutputFile& out, uint64_t size) {
    if (_chsize_s(out.fd, static_cast<int64_t>(size)) != 0) {
        return fail(out, "cannot cut the file short");
    }
    out.size = std::min(out.size, size);
    return true;
}

ByteSink output_file_sink(OutputFile& out) {
    return ByteSink{write_at, &out};
}

bool commit_output_file(OutputFile& out) {
    // On disk before it takes the name: a crash must not leave a named but
    // empty file in place of the old one. A render's file is kept from
    // here on, to be named (a take was never marked).
    if (!FlushFileBuffers(handle_of(out.fd)) || (!out.take && !mark_for_deletion(handle_of(out.fd), false))) {
        fail_with_last_error(out);
        discard_output_file(out);
        return false;
    }
    _close(out.fd);
    out.fd = -1;
    const std::wstring target = wide_text(out.dir) + L"\\" + wide_text(out.name);
    if (!MoveFileExW(temp_path_of(out).c_str(), target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        fail_with_last_error(out);
        discard_output_file(out);
        return false;
    }
    keep_named_file(out);
    discard_output_file(out);
    return true;
}

void discard_output_file(OutputFile& out) {
    if (out.fd >= 0) {
        _close(out.fd);
        out.fd = -1;
    }
    if (!out.temp_name.empty() && !out.take) {
        DeleteFileW(temp_path_of(out).c_str());
    }
    out.temp_name.clear();
    remove_cleanup(out.cleanup);
}

}  // namespace pluck
