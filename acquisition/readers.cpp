#include "acquisition.h"

#include <cstdio>

#include "../device/padwire.h"
#include "../device/reports.h"

std::atomic<uint8_t> runFlag;
std::atomic<uint8_t> probeActive;
PlatformThread probeThread;
#ifdef WEIGH_TEST_HOOKS
void (*testProbeStartHook)();
#endif

static constexpr std::memory_order relaxed = std::memory_order_relaxed;
static constexpr std::memory_order seqCst = std::memory_order_seq_cst;  // see ProbeThread

// A board left streaming another mode (weighingMode, by an earlier run)
// goes on sending it until the change to accelerometerMode has crossed the
// link, tens of ms on a radio link. So the probe reads past every report
// that does not carry the accelerometer byte and sleeps only after one
// that does: the first such report decides, unless another comes before
// the window closes.
//
// probeActive is 1 before the probe's first test of runFlag, and this
// store and that load, like the window's closing store of runFlag and
// StopProbe's load of probeActive, are seq_cst. Each side stores, then
// loads what the other stores; in the one order of all seq_cst operations
// at least one of the two loads comes after the other side's store. So
// either the probe finds runFlag 0 and leaves without a read, or StopProbe
// finds probeActive 1 and ends the probe by force (or both). A weaker order
// lets each load pass its own thread's store and both miss: a probe
// preempted past the window would then be joined, and read a silent board
// for ever.
void ProbeThread() {
    probeActive.store(1, seqCst);
#ifdef WEIGH_TEST_HOOKS
    if (testProbeStartHook)
        testProbeStartHook();
#endif
    while (runFlag.load(seqCst) != 0) {
        ReadDeviceReport();
        if (CarriesAccelerometer(inReport[0]))
            PlatformSleep(probeSleepMs);
    }
    probeActive.store(0, relaxed);
}

// The board answers when a report carrying the accelerometer byte
// (accelerometerMode) arrives with that byte non-zero. The probe is not
// waited for here: it leaves by itself after its sleep on such a report.
int32_t ProbeDevice() {
    DeviceState.accelX.store(0, relaxed);
    runFlag.store(1, relaxed);
    probeThread = PlatformStartThread(ProbeThread);
    WaitMs(probeWindowMs);
    runFlag.store(0, seqCst);
    return DeviceState.accelX.load(relaxed) != 0 ? 1 : 0;
}

// The handle is released here and never used again, so a later call can
// not act on a thread that has gone or on another thread given its ID.
void StopProbe() {
    if (probeThread == 0)
        return;
    if (probeActive.load(seqCst) == 1)
        PlatformKillThread(probeThread, 0xFFFFFFFFu);
    else
        PlatformJoinThread(probeThread);
    probeThread = 0;
}

// Flushed: on Windows standard error is buffered when it is not a console
// (a file, a pipe, a service's log), and weigh is always ended from outside.
static void Notice(const char* line) {
    std::fputs(line, stderr);
    std::fflush(stderr);
}

// A board that is there but silent keeps its read waiting, one that has
// gone fails every read at once (padwire.h): so reads failing one after
// the other, for long enough that no passing glitch of the link counts,
// mean it has gone. The board that comes back is opened anew and told
// again what to do. The zero point stays the user's.
static void FindBoardAgain() {
    Notice("weigh: the board has gone; waiting for it to come back\n");
    CloseHidHandle(deviceHandle);
    deviceHandle = -1;
    for (;;) {
        int32_t handle = OpenHidHandle(boardVendorId, boardProductId);
        if (handle != -1) {
            deviceHandle = handle;
            break;
        }
        PlatformSleep(lookAgainEveryMs);
    }
    ReadyBoard();
    Notice("weigh: the board is back\n");
}

// The probe tests runFlag only after its read and, once it has read a
// report with the accelerometer byte, its probeSleepMs sleep, so it
// may still be asleep when this thread raises the flag again; it would then
// read on beside us and both would write inReport. Waiting for its end
// before raising the flag leaves one reader at a time.
void ReadLoopThread() {
    WaitMs(readerStartDelayMs);
    if (probeThread != 0) {
        PlatformJoinThread(probeThread);
        probeThread = 0;
    }
    runFlag.store(1, relaxed);
    int64_t failingSince = 0;
    bool failing = false;
    while (runFlag.load(relaxed) != 0) {
        if (ReadDeviceReport() == 1) {
            failing = false;
            // The board sends a status report by itself now and then (when
            // it has found its sensors, say), and after one no data until
            // its reporting mode is set again.
            if (inReport[0] == statusReportId)
                SetReportMode(noFlags, weighingMode);
        } else if (!failing) {
            failing = true;
            failingSince = PlatformCounter();
        } else if (MsSince(failingSince) >= boardGoneAfterMs) {
            FindBoardAgain();
            failing = false;
        }
        if (DeviceState.buttons2.load(relaxed) == homeButton)
            return;
    }
}
