// The one checker of a run of weigh against a scenario: a board's script
// with the expectations it carries (sim/script.h). weigh_sim_run_test calls
// it on weigh-sim's runs, the VM tests' hosts (through scenario_check) on
// what their guests saw.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "sim/script.h"

namespace test {

// What one run left: weigh's standard output and error, as written (a
// carriage return before each newline is taken off), the board's log
// (vboard's) if it keeps one, and weigh's exit status if it ended by itself.
// What is not there is not checked.
struct RunRecord {
    std::string output;
    std::optional<std::string> errors;
    std::optional<std::string> boardLog;
    int status = -1;  // -1: ended from outside, or not yet
};

// One line for each expectation the run does not meet, and for each line
// of the read-out that is not whole; none when the run is as the scenario
// says. The board's own expectations (received, sent, and that each mode
// change came the script's latency late) are checked only against a log.
std::vector<std::string> CheckRun(const sim::Script& scenario, const RunRecord& run);

}  // namespace test
