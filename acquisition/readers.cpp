#include "acquisition.h"

#include "../device/reports.h"

std::atomic<uint8_t> runFlag;
std::atomic<uint8_t> probeActive;
PlatformThread probeThread;

static constexpr std::memory_order relaxed = std::memory_order_relaxed;

// A board left streaming another mode (0x34, by an earlier run) goes on
// sending it until the change to 0x31 has crossed the link, tens of ms on
// a radio link. So the probe reads past every report that does not carry
// the accelerometer byte and sleeps only after one that does: the first
// such report decides, unless another comes before the window closes.
void ProbeThread() {
    while (runFlag.load(relaxed) != 0) {
        probeActive.store(1, relaxed);
        ReadDeviceReport();
        if (CarriesAccelerometer(inReport[0]))
            PlatformSleep(100);
    }
    probeActive.store(0, relaxed);
}

// The board answers when a report carrying the accelerometer byte (mode
// 0x31) arrives with that byte non-zero. The probe is not waited for here:
// it leaves by itself after its sleep on such a report.
int32_t ProbeDevice() {
    DeviceState.accelX.store(0, relaxed);
    runFlag.store(1, relaxed);
    probeThread = PlatformStartThread(ProbeThread);
    WaitMs(100);
    runFlag.store(0, relaxed);
    return DeviceState.accelX.load(relaxed) != 0 ? 1 : 0;
}

// The handle is released here and never used again, so a later call can
// not act on a thread that has gone or on another thread given its ID.
void StopProbe() {
    if (probeThread == 0)
        return;
    if (probeActive.load(relaxed) == 1)
        PlatformKillThread(probeThread, 0xFFFFFFFFu);
    else
        PlatformJoinThread(probeThread);
    probeThread = 0;
}

// The probe tests runFlag only after its read and its 100 ms sleep, so it
// may still be asleep when this thread raises the flag again; it would then
// read on beside us and both would write inReport. Waiting for its end
// before raising the flag leaves one reader at a time.
void ReadLoopThread() {
    WaitMs(10);
    if (probeThread != 0) {
        PlatformJoinThread(probeThread);
        probeThread = 0;
    }
    runFlag.store(1, relaxed);
    while (runFlag.load(relaxed) != 0) {
        ReadDeviceReport();
        if (DeviceState.buttons2.load(relaxed) == 0x80)
            return;
    }
}
