#include "console.h"

#include <cstdio>
#include <cstdlib>

#include "../acquisition/acquisition.h"
#include "../device/padwire.h"
#include "../device/reports.h"
#include "../platform/platform.h"

int32_t tareRf, tareRb, tareLf, tareLb;
int32_t Mrf, Mrb, Mlf, Mlb, Msum;

static constexpr std::memory_order relaxed = std::memory_order_relaxed;

int32_t StartWeighing() {
    deviceHandle = OpenHidHandle(boardVendorId, boardProductId);
    // A missing board is reported and the start goes on with handle -1:
    // every call on it fails at once, so the open check below fails too.
    if (deviceHandle == -1)
        PlatformMessage("Wii-Remote not found.");
    SetReportMode(noFlags, accelerometerMode);
    if (ProbeDevice() == 0) {
        PlatformMessage("Wii-Remote cannot open.");
        StopProbe();
        CloseHidHandle(deviceHandle);
        return 0;
    }
    ReadyBoard();
    PlatformStartDetachedThread(ReadLoopThread);
    WaitMs(startUpSettleMs);
    return 1;
}

int FormatReading(char* line, size_t size) {
    return snprintf(line, size, readingFormat, static_cast<int>(DeviceState.buttons1.load(relaxed)),
                    static_cast<int>(DeviceState.buttons2.load(relaxed)), static_cast<double>(Msum) / 100.0, Mrf, Mrb,
                    Mlf, Mlb);
}

// Every field is loaded afresh where it is used: the reader may store a new
// report between any two loads, and a line may mix two reports.
int32_t DisplayPass() {
    if (DeviceState.buttons2.load(relaxed) & aButton) {
        tareRf = DeviceState.rawRf.load(relaxed);
        tareRb = DeviceState.rawRb.load(relaxed);
        tareLf = DeviceState.rawLf.load(relaxed);
        tareLb = DeviceState.rawLb.load(relaxed);
    }
    Mrf = DeviceState.rawRf.load(relaxed) - tareRf;
    Mrb = DeviceState.rawRb.load(relaxed) - tareRb;
    Mlf = DeviceState.rawLf.load(relaxed) - tareLf;
    Mlb = DeviceState.rawLb.load(relaxed) - tareLb;
    Msum = Mrf + Mrb + Mlf + Mlb;
    // The line is formed once and written as it is, so what the tests and
    // benchmarks format is byte for byte what the user sees.
    char line[128];
    int length = FormatReading(line, sizeof line);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof line)
        return 1;
    // One write a line, handed to the system at once: the run always ends
    // from outside, and a line the system has taken is kept however the
    // process ends, where a buffered one is lost or cut (docs/reliability.md).
    bool written = fwrite(line, 1, static_cast<size_t>(length), stdout) == static_cast<size_t>(length);
    return written && fflush(stdout) == 0 ? 1 : 0;
}

int WeighMain() {
    PlatformStart();
    if (StartWeighing() == 0) {
        PlatformEnd();
        return 1;
    }
    while (DisplayPass() == 1)
        PlatformSleep(1);
    // Standard output can no longer be written: its reader has gone (a pipe
    // closed where SIGPIPE is ignored, as some parents leave it, and on
    // Windows), or its disk is full. Nobody can see the read-out, so the run
    // ends. At once: the continuous reader may be inside a read, and the
    // clean-up of a return from main would tear down what it uses.
    PlatformEnd();
    std::_Exit(1);
}
