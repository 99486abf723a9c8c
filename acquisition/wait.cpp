#include "acquisition.h"

double MsSince(int64_t start) {
    return static_cast<double>(PlatformCounter() - start) / static_cast<double>(PlatformCounterFrequency()) * 1000.0;
}

// A spin rather than a sleep: the platform's sleep may overshoot by a
// scheduler tick, the counter does not.
void WaitMs(int32_t ms) {
    int64_t start = PlatformCounter();
    while (MsSince(start) <= ms) {
    }
}
