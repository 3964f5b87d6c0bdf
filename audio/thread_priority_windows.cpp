#include <windows.h>

#include "audio/thread_priority.h"

namespace pluck {

// Every user may do this on Windows: no wake-up of the thread waits behind
// ordinary threads.
ThreadPriority raise_thread_priority() {
    return SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL) ? ThreadPriority::realtime
                                                                                : ThreadPriority::ordinary;
}

// Where the system can: Windows 10 1607 and later, and Wine, which passes
// the name on to Linux.
void name_this_thread(const char* name) {
    using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    const HMODULE kernel = GetModuleHandleA("kernel32.dll");
    FARPROC found = kernel != nullptr ? GetProcAddress(kernel, "SetThreadDescription") : nullptr;
    if (found == nullptr) {
        return;
    }
    wchar_t wide[16] = {};
    for (int i = 0; i < 15 && name[i] != '\0'; ++i) {
        wide[i] = static_cast<wchar_t>(name[i]);
    }
    reinterpret_cast<SetDescription>(reinterpret_cast<void*>(found))(GetCurrentThread(), wide);
}

}  // namespace pluck
