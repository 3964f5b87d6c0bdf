// pipe_to FILE "COMMAND LINE": runs the command with its standard input
// the read end of a Windows anonymous pipe, writes the file's bytes into
// the pipe and closes it; exits with the command's status. A pipe made in
// Windows ends with an error of its own (ERROR_BROKEN_PIPE), which a Linux
// pipe handed to a program under Wine never gives.
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fputs("usage: pipe_to FILE \"COMMAND LINE\"\n", stderr);
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!file || !CreatePipe(&read_end, &write_end, &inherit, 0)) {
        return 2;
    }
    SetHandleInformation(write_end, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = read_end;
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    std::wstring command = argv[2];
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process)) {
        return 2;
    }
    CloseHandle(read_end);
    DWORD written = 0;
    WriteFile(write_end, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(write_end);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 2;
    GetExitCodeProcess(process.hProcess, &status);
    return static_cast<int>(status);
}
