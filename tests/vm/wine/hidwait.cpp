// hidwait: the Wine VM test's look at Wine's HID stack from the Windows side.
//
//   hidwait present VID PID SECONDS   waits until SetupAPI lists a present
//                                     HID interface with these IDs (hex)
//                                     that opens for reading and writing
//   hidwait gone VID PID SECONDS      waits until it lists none
//   hidwait warm VID PID SECONDS      waits for one, opens it as weigh does,
//                                     writes 12 00 31 and reads one report
//
// Exit status 0 when what it waited for came within SECONDS, else 1. The
// first Wine process in a fresh guest also starts Wine's services (winebus
// among them), and the first read of a process through Wine's HID path is
// slow under an emulated CPU: "warm" on a device of the test's own brings
// those code paths up before weigh.exe, with its 100 ms open check, runs.
#include <windows.h>

#include <setupapi.h>

extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "../../windows_hid_list.h"

namespace {

HANDLE OpenForUse(const std::string& path) {
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

// Wine lists a device a little before it opens for reading and writing,
// as weigh needs it to.
bool OpensForUse(const char* path) {
    HANDLE file = OpenForUse(path);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    return true;
}

// The path of the first present HID interface with these IDs, or "". With
// usable, only one that also opens for reading and writing.
std::string FindDevice(USHORT vendor, USHORT product, bool usable) {
    return ListedHidPath(vendor, product, usable ? OpensForUse : nullptr);
}

// One overlapped transfer, waited for up to limitMs; bytes moved, or -1
// with the error in *error.
long Transfer(HANDLE file, bool write, std::vector<unsigned char>& buffer, DWORD limitMs, DWORD* error) {
    OVERLAPPED overlap{};
    overlap.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    BOOL started = write ? WriteFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, &overlap)
                         : ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, &overlap);
    long moved = -1;
    *error = started ? 0 : GetLastError();
    if (started || *error == ERROR_IO_PENDING) {
        if (WaitForSingleObject(overlap.hEvent, limitMs) != WAIT_OBJECT_0)
            CancelIoEx(file, &overlap);
        DWORD count = 0;
        if (GetOverlappedResult(file, &overlap, &count, TRUE))
            moved = static_cast<long>(count);
        *error = moved < 0 ? GetLastError() : 0;
    }
    CloseHandle(overlap.hEvent);
    return moved;
}

bool Warm(const std::string& path) {
    HANDLE file = OpenForUse(path);
    if (file == INVALID_HANDLE_VALUE) {
        std::printf("hidwait: cannot open %s: error %lu\n", path.c_str(), GetLastError());
        return false;
    }
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    HIDP_CAPS caps{};
    if (!HidD_GetPreparsedData(file, &preparsed) || HidP_GetCaps(preparsed, &caps) != HIDP_STATUS_SUCCESS) {
        std::printf("hidwait: no capabilities\n");
        CloseHandle(file);
        return false;
    }
    HidD_FreePreparsedData(preparsed);
    std::vector<unsigned char> out(caps.OutputReportByteLength, 0);
    std::vector<unsigned char> in(caps.InputReportByteLength, 0);
    bool done = false;
    if (out.size() >= 3) {
        out[0] = 0x12;
        out[2] = 0x31;
        DWORD error = 0;
        long sent = Transfer(file, true, out, 10000, &error);
        std::printf("hidwait: wrote %ld bytes (error %lu)\n", sent, error);
        // A few reads, each logged: how long it took and what it gave.
        int reports = 0;
        for (int read = 0; read < 5; ++read) {
            auto started = std::chrono::steady_clock::now();
            long got = Transfer(file, false, in, 10000, &error);
            auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
            std::printf("hidwait: read %ld bytes (error %lu) in %lld ms, report %02x\n", got, error,
                        static_cast<long long>(ms.count()), got > 0 ? in[0] : 0);
            reports += got > 0 ? 1 : 0;
        }
        done = sent > 0 && reports > 0;
    }
    CloseHandle(file);
    return done;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc != 5) {
        std::fputs("usage: hidwait present|gone|warm VID PID SECONDS\n", stderr);
        return 2;
    }
    std::string what = argv[1];
    auto vendor = static_cast<USHORT>(std::strtoul(argv[2], nullptr, 16));
    auto product = static_cast<USHORT>(std::strtoul(argv[3], nullptr, 16));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(std::atoi(argv[4]));
    auto started = std::chrono::steady_clock::now();
    for (;;) {
        std::string path = FindDevice(vendor, product, what != "gone");
        bool waited = what == "gone" ? path.empty() : !path.empty();
        if (waited) {
            auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
            std::printf("hidwait: %04x:%04x %s after %lld ms\n", vendor, product, what == "gone" ? "gone" : "present",
                        static_cast<long long>(ms.count()));
            return what == "warm" && !Warm(path) ? 1 : 0;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            std::printf("hidwait: %04x:%04x still %s after %s s\n", vendor, product,
                        what == "gone" ? "present" : "missing", argv[4]);
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}
