// hidwait present|gone|names|warm|close VID PID SECONDS: the Wine VM test's
// look at Wine's HID stack from the Windows side. Waits until SetupAPI lists
// a present HID interface with these IDs (hex) that opens for reading and
// writing (gone: until it lists none). Then names prints each such
// interface's product string in SetupAPI's order; warm goes through weigh's
// own start on it; close reads it with weigh's backend until its reads fail
// (the device gone, within SECONDS), reads once more and closes the handle.
// Status 0 when what it waited for came within SECONDS (warm: the open check
// passed; close: CloseHidHandle returned within a second), else 1.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "../../windows_hid_list.h"  // windows.h, SetupAPI and hid.dll
#include "acquisition/acquisition.h"
#include "device/padwire.h"
#include "device/reports.h"
#include "platform/platform.h"
#include "tests/program_state.h"

namespace {

// Wine lists a device a little before it opens for reading and writing,
// as weigh needs it to.
bool OpensForUse(const char* path) {
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return file != INVALID_HANDLE_VALUE;
}

// Prints the interface's product string, non-ASCII as '?', or "(none)"
// when HidD_GetProductString fails; false, so that the listing goes on.
bool PrintProductString(const char* path) {
    HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    wchar_t name[128] = {};
    bool named = file != INVALID_HANDLE_VALUE && HidD_GetProductString(file, name, sizeof name - sizeof name[0]);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    std::string text = named ? "" : "(none)";
    for (const wchar_t* c = name; named && *c; ++c)
        text += *c >= 0x20 && *c < 0x7F ? static_cast<char>(*c) : '?';
    std::printf("hidwait: product string %s\n", text.c_str());
    return false;
}

int64_t probeStarted;
std::atomic<double> probeRunningMs{-1};

[[noreturn]] void End(int status, const char* what = nullptr) {
    if (what)
        std::printf("hidwait: %s\n", what);  // stdout is unbuffered
    std::_Exit(status);
}

// weigh's own start, with weigh's code, on a device of the test's own: its
// open, 12 00 31, its open check and its readying of the board (so that the
// next pass finds mode 0x34, as weigh.exe after an earlier run). Under an
// emulated CPU it takes the slow first pass through these paths in weigh.exe's
// stead. The process ends with the probe and the handle: a read left pending
// on the device would hold a clean-up that waits for it.
[[noreturn]] void Warm(USHORT vendor, USHORT product) {
    PlatformStart();
    int64_t started = PlatformCounter();
    test::SetDeviceHandle(OpenHidHandle(vendor, product));
    if (deviceHandle == -1)
        End(1, "cannot open the device");
    std::printf("hidwait: opened in %.0f ms\n", MsSince(started));
    SetReportMode(noFlags, accelerometerMode);
    testProbeStartHook = [] { probeRunningMs.store(MsSince(probeStarted)); };
    probeStarted = PlatformCounter();
    bool answered = ProbeDevice() == 1;
    if (answered)
        ReadyBoard();
    std::printf("hidwait: open check %s, its probe thread running after %.0f ms\n", answered ? "passed" : "failed",
                probeRunningMs.load());
    PlatformEnd();
    End(answered ? 0 : 1);
}

// The reads that fail once the device has gone, as weigh's reader meets
// them, then its close of the dead handle, on a thread of its own so that a
// close that never returns is seen.
[[noreturn]] void CloseGone(USHORT vendor, USHORT product, int seconds) {
    int32_t handle = OpenHidHandle(vendor, product);
    if (handle == -1)
        End(1, "cannot open the device");
    std::printf("hidwait: opened\n");
    std::thread([seconds] {
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        End(1, "the device did not go");
    }).detach();
    static unsigned char report[256];
    uint32_t info = 0;
    long long reports = 0;
    while (ReadReport(handle, report, &info) > 0)
        ++reports;
    std::printf("hidwait: %lld reports, then a read failed\n", reports);
    int64_t again = PlatformCounter();
    int32_t result = ReadReport(handle, report, &info);
    std::printf("hidwait: the next read gave %d after %.0f ms\n", result, MsSince(again));
    int64_t closeStarted = PlatformCounter();
    std::thread([handle, closeStarted] {
        CloseHidHandle(handle);
        double closedMs = MsSince(closeStarted);
        std::printf("hidwait: CloseHidHandle returned after %.0f ms\n", closedMs);
        End(closedMs <= 1000 ? 0 : 1);
    }).detach();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    End(1, "CloseHidHandle has not returned after 10 s");
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc != 5) {
        std::fputs("usage: hidwait present|gone|names|warm|close VID PID SECONDS\n", stderr);
        return 2;
    }
    std::string what = argv[1];
    bool gone = what == "gone";
    auto vendor = static_cast<USHORT>(std::strtoul(argv[2], nullptr, 16));
    auto product = static_cast<USHORT>(std::strtoul(argv[3], nullptr, 16));
    int64_t started = PlatformCounter();
    double seconds = std::atof(argv[4]);
    // With "gone", any interface listed counts, open or not.
    while (ListedHidPath(vendor, product, gone ? nullptr : OpensForUse).empty() != gone) {
        if (MsSince(started) >= seconds * 1000) {
            std::printf("hidwait: %04x:%04x still %s after %s s\n", vendor, product, gone ? "present" : "missing",
                        argv[4]);
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::printf("hidwait: %04x:%04x %s after %.0f ms\n", vendor, product, gone ? "gone" : "present", MsSince(started));
    if (what == "names")
        ListedHidPath(vendor, product, PrintProductString);
    if (what == "warm")
        Warm(vendor, product);
    if (what == "close")
        CloseGone(vendor, product, std::atoi(argv[4]));
    return 0;
}
