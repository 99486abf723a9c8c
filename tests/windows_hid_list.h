// The system's own list of HID interfaces, read without the backend:
// SetupAPI's present interfaces and each one's attributes. For the Windows
// tests and the Wine VM test's helper, which look at the HID stack from the
// outside.
#ifndef WEIGH_TESTS_WINDOWS_HID_LIST_H
#define WEIGH_TESTS_WINDOWS_HID_LIST_H

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
    for (DWORD index = 0; found.empty(); ++index) {
        SP_DEVICE_INTERFACE_DATA interfaceData{};
        interfaceData.cbSize = sizeof interfaceData;
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &hidGuid, index, &interfaceData))
            break;
        std::vector<char> storage(4096);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
        detail->cbSize = sizeof *detail;
        if (!SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, detail, static_cast<DWORD>(storage.size()),
                                              nullptr, nullptr))
            continue;
        HANDLE file = CreateFileA(detail->DevicePath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  0, nullptr);
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

#endif
