// Helpers shared by the tests: a fresh program and board for each test,
// the messages the program shows, and waits with generous bounds.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "program_state.h"
#include "sim/board.h"

namespace test {

// Zeroes every global of the program and loads script into the simulated
// board. Waits first for threads of an earlier test to end.
void FreshRun(const std::string& script);

// The messages the program has shown since FreshRun, in order.
std::vector<std::string> Messages();

// Polls until done() holds or the bound passes; returns done()'s last value.
bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds bound = std::chrono::seconds(10));

// Waits until no thread the program started is alive (generous bound).
bool WaitForProgramThreads();

// After the probe was ended by force: no read of the board runs on. A
// cancelled pthread unwinds out of the board's read; a thread ended by
// TerminateThread unwinds nothing and never leaves its read, so there the
// proof is that the board sees no further read.
void ExpectNoReadRunsOn();

// Output reports the board received, as hex strings of their first n bytes.
std::vector<std::string> WrittenReports(size_t bytes);

// One display pass without its sleep; what it printed.
std::string Pass();

// A report as the board would send it.
std::vector<uint8_t> Report(std::initializer_list<int> bytes);
void Push(const std::vector<uint8_t>& report);

}  // namespace test
