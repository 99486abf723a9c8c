// The system's own list of HID interfaces, read without the backend:
// SetupAPI's present interfaces and each one's attributes. For the Windows
// tests and the Wine VM test's helper, which look at the HID stack from the
// outside.
#pragma once

#include <windows.h>

#include <setupapi.h>

extern "C" {
#include <hidsdi.h>
}

#include <string>
#include <vector>

// The path of the first present HID interface with these IDs that accept
// (when given) also takes, or "".
inline std::string ListedHidPath(USHORT vendor, USHORT product, bool (*accept)(const char* path) = nullptr) {
    GUID hidGuid;
    HidD_GetHidGuid(&hidGuid);
    HDEVINFO set = SetupDiGetClassDevsA(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return "";
    std::string found;
    SP_DEVICE_INTERFACE_DATA entry{};
    entry.cbSize = sizeof entry;
    constexpr DWORD detailSize = 4096;
    std::vector<char> storage(detailSize);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
    for (DWORD i = 0; found.empty() && SetupDiEnumDeviceInterfaces(set, nullptr, &hidGuid, i, &entry); ++i) {
        detail->cbSize = sizeof *detail;
        if (!SetupDiGetDeviceInterfaceDetailA(set, &entry, detail, detailSize, nullptr, nullptr))
            continue;
        HANDLE file =
            CreateFileA(detail->DevicePath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            continue;
        HIDD_ATTRIBUTES attributes{};
        attributes.Size = sizeof attributes;
        bool matches =
            HidD_GetAttributes(file, &attributes) && attributes.VendorID == vendor && attributes.ProductID == product;
        CloseHandle(file);
        if (matches && (!accept || accept(detail->DevicePath)))
            found = detail->DevicePath;
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}
