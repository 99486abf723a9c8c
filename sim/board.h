// The simulated board: an implementation of device/padwire.h that behaves
// as the weighing board does, driven by a script (sim/script.h).
//
// It answers reporting mode 0x31 with 0x31 reports whose accelerometer byte
// is non-zero and mode 0x34 with 0x34 reports carrying the four loads, paced
// at the script's rate, and records the calls that reach it (Calls).
#ifndef WEIGH_SIM_BOARD_H
#define WEIGH_SIM_BOARD_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "script.h"

namespace sim {

// The handle an open board hands out; after each time it was switched off
// and on again, the next number.
constexpr int32_t boardHandle = 0x5751;
// The handle of the family's remote, when a script's remote line puts one
// beside the board and it is opened after all.
constexpr int32_t remoteHandle = 0x5243;

// Replaces the script and forgets every call, report and mode: the board is
// as new and closed. Call it while no thread is inside a padwire call.
bool LoadScript(std::string_view text, std::string* error);
void Reset();

struct Call {
    enum Kind { Open, Write, Read, Close } kind = Open;
    int32_t handle = 0;     // the handle passed (Open: the one handed out)
    int32_t vendorId = 0;   // Open only
    int32_t productId = 0;  // Open only
    int32_t result = 0;
    std::array<uint8_t, 256> bytes{};  // Write: the whole buffer as passed
};

// Every Open, Write and Close in order, and each Read on a handle that is
// not open; one on an open handle, of which a run makes a hundred a second,
// is only counted.
std::vector<Call> Calls();

// Reports delivered, reads that failed, and the most threads ever inside
// ReadReport at once.
int64_t ReportsDelivered();
int64_t ReadsFailed();
int32_t MostConcurrentReads();
int32_t ReadsInside();
// Handles handed out and not yet closed, dead or alive.
int32_t OpenHandles();

// Queues these bytes as the next input report, ahead of the script's, to
// be delivered at once and exactly as given (at most 256 bytes; the rest
// of the reader's buffer is left as it was).
void PushReport(const uint8_t* bytes, size_t length);

// Milliseconds since the board was opened.
int64_t BoardClockMs();

#ifdef WEIGH_TEST_HOOKS
// Test seams, for tests and tools only (weigh-bench, the soak), and only in
// their builds: testReportObserver, when set, is called with each report as
// it is handed over. Unset: nothing is called.
extern void (*testReportObserver)(const uint8_t* bytes, size_t length);
// With the environment variable of this name set, the board says on
// standard error, at the script's end line, how many reports it delivered
// and how many reads failed. Unset: it says nothing.
constexpr const char* testStatsVariable = "WEIGH_SIM_STATS";
#endif

}  // namespace sim

#endif
