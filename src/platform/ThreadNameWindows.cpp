#include "platform/ThreadName.h"

#include <windows.h>

#include <string>

namespace platform {

void NameThisThread(const char* name) {
    // SetThreadDescription exists from Windows 10 1607 on: looked up, not linked.
    using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (!kernel) return;
    auto set = reinterpret_cast<SetDescription>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "SetThreadDescription")));
    if (!set) return;
    const std::string narrow(name);
    const std::wstring wide(narrow.begin(), narrow.end());  // thread names here are ASCII
    set(GetCurrentThread(), wide.c_str());
}

}  // namespace platform
