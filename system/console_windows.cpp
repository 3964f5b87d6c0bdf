// Windows: the C runtime's descriptors over the process's standard handles,
// and the console window a render may be started from.
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <cstdio>
#include <string>
#include <vector>

#include "system/cleanup.h"
#include "system/console.h"
#include "system/windows_text.h"

namespace pluck {

namespace {

// The console's output code page as the program found it, to put back.
UINT original_output_code_page = 0;

void restore_output_code_page(void*) {
    SetConsoleOutputCP(original_output_code_page);
}

}  // namespace

bool fill_closed_standard_streams() {
    FILE* const streams[] = {stdin, stdout, stderr};
    bool input_closed = false;
    for (int fd = 0; fd <= 2; ++fd) {
        // -1: no handle; -2: the runtime found none at start.
        if (_get_osfhandle(fd) < 0) {
            input_closed = input_closed || fd == 0;
            // The lowest free descriptor: this one.
            std::freopen("NUL", fd == 0 ? "rb" : "wb", streams[fd]);
        }
        // The same bytes as on Linux: no carriage returns added to messages,
        // none taken out of a score.
        _setmode(fd, _O_BINARY);
    }
    // Messages name files in UTF-8; a console shows them as such only in
    // its UTF-8 code page. The console is shared with the shell, so its own
    // page is put back on the way out, whichever way that is.
    const UINT page = GetConsoleOutputCP();
    if (page != 0 && page != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
        original_output_code_page = page;
        add_cleanup(restore_output_code_page, nullptr);
    }
    return input_closed;
}

void use_utf8_arguments(int& argc, char**& argv) {
    // Kept for the whole run, as the runtime's own arguments are.
    static std::vector<std::string> arguments;
    static std::vector<char*> pointers;
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) {
        return;
    }
    for (int i = 0; i < count; ++i) {
        arguments.push_back(utf8_text(wide[i]));
    }
    LocalFree(wide);
    for (std::string& argument : arguments) {
        pointers.push_back(argument.data());
    }
    pointers.push_back(nullptr);
    argc = count;
    argv = pointers.data();
}

void flush_console_input() {
    FlushConsoleInputBuffer(GetStdHandle(STD_INPUT_HANDLE));
}

int stderr_terminal_columns() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(reinterpret_cast<HANDLE>(_get_osfhandle(2)), &info)) {
        return 0;
    }
    return info.srWindow.Right - info.srWindow.Left + 1;
}

}  // namespace pluck
