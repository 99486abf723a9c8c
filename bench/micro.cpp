// Micro-benchmarks of the program's own steps (decoding a report, forming a
// line, a whole display pass) and of a line's write to a terminal and to a
// pipe, the costs a display pass is made of.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#include "../console/console.h"
#include "../device/reports.h"
#include "../sim/report.h"
#include "../tests/program_state.h"

namespace {

// A line as the program prints it for a loaded board.
const char sampleLine[] = "0,0, Msum 70.0(kg), Mrf 1750, Mrb 1750, Mlf 1750, Mlb 1750\n";

void SetLoads() {
    test::ResetProgram();
    test::SetBoardState(0, 0, 3250, 3250, 3250, 3250);
    test::SetZeroPoint(1500, 1500, 1500, 1500);
    test::SetShownLoads(1750, 1750, 1750, 1750);
}

// The report the program asks the board for: buttons and the four loads.
void BM_DecodeReport(benchmark::State& state) {
    sim::ReportFields fields;
    fields.buttons2 = aButton;
    std::fill(fields.loads, fields.loads + 4, 3250);
    sim::EncodeReport(weighingMode, fields, inReport);
    for (auto _ : state) {
        DecodeInputReport();
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_DecodeReport);

void BM_FormatLine(benchmark::State& state) {
    SetLoads();
    char line[128];
    for (auto _ : state) {
        int length = FormatReading(line, sizeof line);
        benchmark::DoNotOptimize(length);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_FormatLine);

// A whole pass, its line written to /dev/null (the program flushes each
// line, so one write(2) a pass wherever stdout goes). The reporter writes
// through its own stream, not stdout.
void BM_DisplayPass(benchmark::State& state) {
    FILE* sink = std::fopen("/dev/null", "w");
    if (!sink) {
        state.SkipWithError("cannot open /dev/null");
        return;
    }
    SetLoads();
    std::fflush(stdout);
    FILE* saved = stdout;
    stdout = sink;
    for (auto _ : state)
        DisplayPass();
    stdout = saved;
    std::fclose(sink);
}
BENCHMARK(BM_DisplayPass);

// A line written with write(2) to the slave side of a pseudo-terminal, or
// to a pipe, with a thread draining the other end as a terminal or a reader
// would.
void WriteLines(benchmark::State& state, int writeEnd, int readEnd, const char* failure) {
    if (writeEnd < 0 || readEnd < 0) {
        state.SkipWithError(failure);
        return;
    }
    std::atomic<bool> stop{false};
    std::thread drain([&] {
        char buffer[65536];
        while (!stop.load()) {
            ssize_t n = read(readEnd, buffer, sizeof buffer);
            if (n <= 0 && errno != EINTR && errno != EAGAIN)
                return;
        }
    });
    size_t length = std::strlen(sampleLine);
    for (auto _ : state) {
        ssize_t n = write(writeEnd, sampleLine, length);
        benchmark::DoNotOptimize(n);
    }
    stop.store(true);
    close(writeEnd);  // the drain's read ends
    drain.join();
    close(readEnd);
}

void BM_WriteLineToPseudoTerminal(benchmark::State& state) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    const char* name = master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 ? ptsname(master) : nullptr;
    WriteLines(state, name ? open(name, O_RDWR | O_NOCTTY) : -1, master, "no pseudo-terminal");
}
BENCHMARK(BM_WriteLineToPseudoTerminal)->UseRealTime();

void BM_WriteLineToPipe(benchmark::State& state) {
    int ends[2];
    bool piped = pipe(ends) == 0;
    WriteLines(state, piped ? ends[1] : -1, piped ? ends[0] : -1, "no pipe");
}
BENCHMARK(BM_WriteLineToPipe)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
