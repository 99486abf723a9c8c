// hidwait: the Wine VM test's look at Wine's HID stack from the Windows side.
//
//   hidwait present VID PID SECONDS   waits until SetupAPI lists a present
//                                     HID interface with these IDs (hex)
//                                     that opens for reading and writing
//   hidwait gone VID PID SECONDS      waits until it lists none
//   hidwait warm VID PID SECONDS      waits for one and goes through
//                                     weigh's own start on it, up to and
//                                     with its 100 ms open check
//   hidwait close VID PID SECONDS     waits for one, opens it with weigh's
//                                     backend, reads it until its reads
//                                     fail (the device gone, within
//                                     SECONDS), reads once more and then
//                                     closes the handle
//
// Exit status 0 when what it waited for came within SECONDS (and, for
// warm, the open check passed; for close, CloseHidHandle returned within a
// second), else 1. Under an emulated CPU the first process through Wine's
// HID read path, on a thread of its own started beside all the DLLs weigh
// loads, is slow: "warm" on a device of the test's own brings those code
// paths up before weigh.exe runs.
#include <windows.h>

#include <setupapi.h>

extern "C" {
#include <hidsdi.h>
}

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "../../windows_hid_list.h"
#include "acquisition/acquisition.h"
#include "device/padwire.h"
#include "device/reports.h"
#include "platform/platform.h"

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

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point started) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
}

Clock::time_point probeStarted;
std::atomic<long long> probeRunningMs{-1};

void NoteProbeRunning() {
    probeRunningMs.store(MsSince(probeStarted));
}

// weigh's own start on a device of the test's own, with weigh's code: its
// open, its write of 12 00 31, and its probe thread reading while the main
// thread spins on the performance counter for 100 ms, as weigh's open check
// does. The spin is the only part of the test's own: it also notes when the
// probe has decoded a report with the accelerometer byte. Run before
// weigh.exe, it takes the slow first pass through these paths under an
// emulated CPU in weigh.exe's stead; a second run's figures tell what
// weigh.exe's check has to beat.
[[noreturn]] void Warm(USHORT vendor, USHORT product) {
    PlatformStart();
    auto started = Clock::now();
    deviceHandle = OpenHidHandle(vendor, product);
    if (deviceHandle == -1) {
        std::printf("hidwait: cannot open %04x:%04x\n", vendor, product);
        PlatformEnd();
        std::_Exit(1);
    }
    std::printf("hidwait: opened in %lld ms\n", MsSince(started));
    started = Clock::now();
    SetReportMode(0x00, 0x31);
    std::printf("hidwait: wrote 12 00 31 in %lld ms\n", MsSince(started));

    DeviceState.accelX.store(0);
    runFlag.store(1);
    testProbeStartHook = NoteProbeRunning;
    probeStarted = Clock::now();
    probeThread = PlatformStartThread(ProbeThread);
    int64_t frequency = PlatformCounterFrequency();
    int64_t begun = PlatformCounter();
    int64_t window = frequency / 10;
    long long answeredMs = -1;
    for (int64_t now = begun; now - begun <= window; now = PlatformCounter())
        if (answeredMs < 0 && DeviceState.accelX.load() != 0)
            answeredMs = MsSince(probeStarted);
    runFlag.store(0, std::memory_order_seq_cst);
    bool answered = DeviceState.accelX.load() != 0;
    // What weigh writes next, so that the next pass, like weigh.exe after
    // an earlier run, finds the device streaming mode 0x34.
    if (answered) {
        SetLeds(0x10);
        SetReportMode(0x00, 0x34);
    }
    std::printf("hidwait: probe thread running after %lld ms\n", probeRunningMs.load());
    std::printf("hidwait: open check %s, first report with the accelerometer byte after %lld ms\n",
                answered ? "passed" : "failed", answeredMs);
    // The process ends here, the probe and the handle with it: the device
    // falls silent soon, and a read left pending on it would hold a
    // clean-up that waits for it.
    PlatformEnd();
    std::fflush(stdout);
    std::_Exit(answered ? 0 : 1);
}

std::atomic<long long> closedAfterMs{-1};
Clock::time_point closeStarted;
int32_t closingHandle;

void CloseTheHandle() {
    CloseHidHandle(closingHandle);
    closedAfterMs.store(MsSince(closeStarted));
}

[[noreturn]] void GiveUp(const char* what) {
    std::printf("hidwait: %s\n", what);
    std::fflush(stdout);
    std::_Exit(1);
}

// A read that the device's going completes, and the reads after it, which
// fail at once, as weigh's reader meets them; then the close that weigh's
// reader makes of the dead handle, on a thread of its own so that a close
// that never returns is seen.
[[noreturn]] void CloseGone(USHORT vendor, USHORT product, int seconds) {
    int32_t handle = OpenHidHandle(vendor, product);
    if (handle == -1)
        GiveUp("cannot open the device");
    std::printf("hidwait: opened\n");
    std::thread([seconds] {
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        GiveUp("the device did not go");
    }).detach();
    static unsigned char report[256];
    uint32_t info = 0;
    long long reports = 0;
    while (ReadReport(handle, report, &info) > 0)
        ++reports;
    std::printf("hidwait: %lld reports, then a read failed\n", reports);
    auto again = Clock::now();
    int32_t result = ReadReport(handle, report, &info);
    std::printf("hidwait: the next read gave %d after %lld ms\n", result, MsSince(again));
    closingHandle = handle;
    closeStarted = Clock::now();
    std::thread(CloseTheHandle).detach();
    while (closedAfterMs.load() < 0 && MsSince(closeStarted) < 10000)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    long long closedMs = closedAfterMs.load();
    if (closedMs < 0)
        GiveUp("CloseHidHandle has not returned after 10 s");
    std::printf("hidwait: CloseHidHandle returned after %lld ms\n", closedMs);
    std::fflush(stdout);
    std::_Exit(closedMs <= 1000 ? 0 : 1);
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc != 5) {
        std::fputs("usage: hidwait present|gone|warm|close VID PID SECONDS\n", stderr);
        return 2;
    }
    std::string what = argv[1];
    auto vendor = static_cast<USHORT>(std::strtoul(argv[2], nullptr, 16));
    auto product = static_cast<USHORT>(std::strtoul(argv[3], nullptr, 16));
    auto started = Clock::now();
    auto deadline = started + std::chrono::seconds(std::atoi(argv[4]));
    for (;;) {
        std::string path = FindDevice(vendor, product, what != "gone");
        bool waited = what == "gone" ? path.empty() : !path.empty();
        if (waited) {
            std::printf("hidwait: %04x:%04x %s after %lld ms\n", vendor, product, what == "gone" ? "gone" : "present",
                        MsSince(started));
            if (what == "warm")
                Warm(vendor, product);
            if (what == "close")
                CloseGone(vendor, product, std::atoi(argv[4]));
            return 0;
        }
        if (Clock::now() >= deadline) {
            std::printf("hidwait: %04x:%04x still %s after %s s\n", vendor, product,
                        what == "gone" ? "present" : "missing", argv[4]);
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}
