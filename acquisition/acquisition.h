// The busy wait and the two threads that feed DeviceState: the probe of the
// open check and the continuous reader.
#ifndef WEIGH_ACQUISITION_H
#define WEIGH_ACQUISITION_H

#include <atomic>
#include <cstdint>

#include "../platform/platform.h"

extern std::atomic<uint8_t> runFlag;      // 1 while the reader loops go on
extern std::atomic<uint8_t> probeActive;  // 1 while the probe is inside its loop
extern PlatformThread probeThread;        // 0 once the probe has been waited for

// Spins on the high-resolution counter until more than ms milliseconds have passed.
void WaitMs(int32_t ms);
// Milliseconds on the high-resolution counter since start, one of its counts.
double MsSince(int64_t start);

// The open check: 1 when the board answered within probeWindowMs, else 0.
int32_t ProbeDevice();
// Ends the probe thread, by force if it is still inside its loop, and
// returns only once it has ended.
void StopProbe();

// Reads that fail one after the other for this long mean the board has
// gone; it is then looked for again at this pace.
constexpr int32_t boardGoneAfterMs = 500;
constexpr uint32_t lookAgainEveryMs = 500;

// The open check's window, and the probe's sleep after each report with
// the accelerometer byte.
constexpr int32_t probeWindowMs = 100;
constexpr uint32_t probeSleepMs = 100;
// The continuous reader's wait before it takes over from the probe, and
// the start-up's wait, once it has started the reader, before the display
// loop begins.
constexpr int32_t readerStartDelayMs = 10;
constexpr int32_t startUpSettleMs = 1000;

void ProbeThread();
// The continuous reader. Once the start-up has handed it the board it is
// the only thread that uses deviceHandle and outReport: when the board
// goes, it closes the handle, looks for the board again and readies it.
void ReadLoopThread();

#ifdef WEIGH_TEST_HOOKS
// Test seam, for tests and tools only, and only in their builds: when set,
// the probe calls it between storing probeActive and its first test of
// runFlag, so that a test can hold the probe there, as a preempted thread
// is. Unset: nothing between.
extern void (*testProbeStartHook)();
#endif

#endif
