// scenario_check WHAT SCENARIO OUT ERR|- [BOARD_LOG|- [STATUS]]: holds the
// files a run of weigh left (its standard output and error, the board's
// log; - for one not to check) to what the scenario file expects
// (tests/scenario.h), for the VM tests' hosts. Says "FAIL: WHAT: ..." for
// each expectation not met, and exits with their number (0: the run is as
// the scenario says; 100 at most; 120 when the scenario cannot be read).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "scenario.h"

int main(int argc, char** argv) {
    if (argc < 5 || argc > 7) {
        std::fprintf(stderr, "usage: scenario_check WHAT SCENARIO OUT ERR|- [BOARD_LOG|- [STATUS]]\n");
        return 120;
    }
    const char* what = argv[1];
    std::string text, error;
    sim::Script scenario;
    if (!sim::ReadScriptFile(argv[2], &text) || !sim::ParseScript(text, &scenario, &error)) {
        std::printf("FAIL: %s: scenario %s: %s\n", what, argv[2], error.empty() ? "cannot be read" : error.c_str());
        return 120;
    }
    test::RunRecord run;
    // A file the guest did not leave reads as empty: its absence shows in
    // what the run lacks.
    sim::ReadScriptFile(argv[3], &run.output);
    auto optional = [](const char* path, std::optional<std::string>* text) {
        if (std::string(path) != "-")
            sim::ReadScriptFile(path, &text->emplace());
    };
    optional(argv[4], &run.errors);
    if (argc > 5)
        optional(argv[5], &run.boardLog);
    if (argc > 6)
        run.status = std::atoi(argv[6]);
    std::vector<std::string> failures = test::CheckRun(scenario, run);
    for (std::string failure : failures) {
        for (size_t at = failure.find('\n'); at != std::string::npos; at = failure.find('\n', at + 1))
            failure.insert(at + 1, "    ");
        std::printf("FAIL: %s: %s\n", what, failure.c_str());
    }
    return failures.size() < 100 ? static_cast<int>(failures.size()) : 100;
}
