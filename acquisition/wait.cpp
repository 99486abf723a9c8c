#include "acquisition.h"

// A spin rather than a sleep: the platform's sleep may overshoot by a
// scheduler tick, the counter does not.
void WaitMs(int32_t ms) {
    int64_t frequency = PlatformCounterFrequency();
    int64_t start = PlatformCounter();
    for (;;) {
        int64_t now = PlatformCounter();
        double elapsed = static_cast<double>(now - start) / static_cast<double>(frequency) * 1000.0;
        if (elapsed > ms)
            return;
    }
}
