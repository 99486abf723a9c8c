// weigh-sim: the weighing console run against the simulated board.
//
//   weigh-sim            plays the built-in session and exits by itself
//   weigh-sim SCRIPT     plays the script in that file
//
// With WEIGH_SIM_STATS set in the environment, the board says at the
// script's end how many reports it delivered.
//
// After the script is loaded the run is the program's own, as weigh runs it.
#include <cstdio>
#include <cstring>
#include <string>

#include "../console/console.h"
#include "board.h"

#ifndef WEIGH_VERSION
#define WEIGH_VERSION "0"
#endif

// Usage asked for goes to standard output, so that it can be paged or
// searched; usage after a mistake goes to standard error.
static void Usage(FILE* out) {
    std::fputs("usage: weigh-sim [SCRIPT]\n"
               "Runs the weighing console against a simulated board, playing SCRIPT\n"
               "or, without one, a built-in session of about 11 seconds.\n",
               out);
}

int main(int argc, char** argv) {
    std::string text = sim::builtInSession;
    std::string name = "built-in session";
    if (argc > 2) {
        Usage(stderr);
        return 2;
    }
    if (argc == 2) {
        if (std::strcmp(argv[1], "--version") == 0) {
            std::printf("weigh-sim %s\n", WEIGH_VERSION);
            return 0;
        }
        if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
            Usage(stdout);
            return 0;
        }
        if (!sim::ReadScriptFile(argv[1], &text)) {
            std::fprintf(stderr, "weigh-sim: cannot read %s\n", argv[1]);
            return 2;
        }
        name = argv[1];
    }
    std::string error;
    if (!sim::LoadScript(text, &error)) {
        std::fprintf(stderr, "weigh-sim: %s: %s\n", name.c_str(), error.c_str());
        return 2;
    }
    return WeighMain();
}
