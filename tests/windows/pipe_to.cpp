// pipe_to [--open] FILE "COMMAND LINE": runs the command with its standard
// input the read end of a Windows anonymous pipe and writes the file's bytes
// into the pipe; then closes it, or with --open keeps it open until the
// command ends. Exits with the command's status. A pipe made in Windows ends
// with an error of its own (ERROR_BROKEN_PIPE), and a read from it can be
// cancelled, as a Linux pipe handed to a program under Wine cannot.
#include <windows.h>

#include <fstream>
#include <iterator>
#include <string>

namespace {

// Ctrl-C is the command's to handle: this program stays, and keeps the pipe
// as it was.
BOOL WINAPI ignore_console_event(DWORD) {
    return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const bool keep_open = argc == 4 && std::wstring(argv[1]) == L"--open";
    if (argc != 3 && !keep_open) {
        return 2;
    }
    std::ifstream file(argv[argc - 2], std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    std::wstring command = argv[argc - 1];
    if (!file || !CreatePipe(&read_end, &write_end, &inherit, 0)) {
        return 2;
    }
    SetHandleInformation(write_end, HANDLE_FLAG_INHERIT, 0);
    SetConsoleCtrlHandler(ignore_console_event, TRUE);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = read_end;
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process)) {
        return 2;
    }
    CloseHandle(read_end);
    DWORD written = 0;
    WriteFile(write_end, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    if (!keep_open) {
        CloseHandle(write_end);
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 2;
    GetExitCodeProcess(process.hProcess, &status);
    return static_cast<int>(status);
}
