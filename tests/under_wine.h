// Whether a Windows test runs under Wine, whose ntdll exports
// wine_get_version. The tests' own test of it, not platform/windows.cpp's,
// so that a test of the platform layer does not rest on the code it checks.
#pragma once

#ifdef _WIN32
#include <windows.h>

namespace test {

inline bool UnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace test
#endif
