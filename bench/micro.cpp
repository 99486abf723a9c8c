// Micro-benchmarks of the program's own steps, and of the limits they are
// held against: a write of one line to a terminal and to a pipe, and the
// 1 ms sleep.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "../console/console.h"
#include "../device/padwire.h"
#include "../device/reports.h"
#include "../platform/platform.h"
#include "../sim/board.h"
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

// One report of each kind the decoder treats differently: buttons only,
// with the accelerometer byte, with the loads, with both, the top of the
// family, and one outside it.
void BM_DecodeReport(benchmark::State& state) {
    const unsigned char id = static_cast<unsigned char>(state.range(0));
    const unsigned char report[22] = {id, 0x00, 0x08, 0x0C, 0xB2, 0x0C, 0xB2, 0x0C, 0xB2, 0x0C, 0xB2};
    std::memset(inReport, 0, sizeof inReport);
    std::memcpy(inReport, report, sizeof report);
    for (auto _ : state) {
        DecodeInputReport();
        benchmark::ClobberMemory();
    }
    char label[8];
    std::snprintf(label, sizeof label, "0x%02X", id);
    state.SetLabel(label);
}
BENCHMARK(BM_DecodeReport)->Arg(0x30)->Arg(0x31)->Arg(0x34)->Arg(0x35)->Arg(0x3F)->Arg(0x20);

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

// A null sink: /dev/null, line-buffered as stdout is at a terminal (one
// write(2) a line) when the benchmark's argument is 1, or fully buffered as
// it is into a pipe or file; the loads set for a line. Null if it fails.
FILE* OpenNullSink(benchmark::State& state) {
    bool lineBuffered = state.range(0) != 0;
    FILE* sink = std::fopen("/dev/null", "w");
    if (!sink) {
        state.SkipWithError("cannot open /dev/null");
        return nullptr;
    }
    std::setvbuf(sink, nullptr, lineBuffered ? _IOLBF : _IOFBF, BUFSIZ);
    state.SetLabel(lineBuffered ? "line-buffered" : "fully buffered");
    SetLoads();
    return sink;
}

void BM_FormatAndPrintLine(benchmark::State& state) {
    FILE* sink = OpenNullSink(state);
    if (!sink)
        return;
    char line[128];
    for (auto _ : state) {
        int length = FormatReading(line, sizeof line);
        std::fwrite(line, 1, static_cast<size_t>(length), sink);
    }
    std::fclose(sink);
}
BENCHMARK(BM_FormatAndPrintLine)->Arg(1)->Arg(0);

// DisplayPass writes to stdout; for the length of the benchmark stdout is
// the null sink (the reporter writes through its own stream).
void BM_DisplayPass(benchmark::State& state) {
    FILE* sink = OpenNullSink(state);
    if (!sink)
        return;
    std::fflush(stdout);
    FILE* saved = stdout;
    stdout = sink;
    for (auto _ : state)
        DisplayPass();
    stdout = saved;
    std::fclose(sink);
}
BENCHMARK(BM_DisplayPass)->Arg(1)->Arg(0);

// The continuous reader's step against the simulated board at "rate 0",
// which makes a report whenever one is asked for: the simulated board's
// cost is in it.
void BM_ReadDeviceReportSimulated(benchmark::State& state) {
    std::string error;
    if (!sim::LoadScript("rate 0\nboard 1000 00 00 1480 1523 1502 1461\n", &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    deviceHandle = OpenHidHandle(boardVendorId, boardProductId);
    SetReportMode(0x00, 0x34);
    for (auto _ : state)
        ReadDeviceReport();
    CloseHidHandle(deviceHandle);
    sim::Reset();
}
BENCHMARK(BM_ReadDeviceReportSimulated);

// The limits. A line written with write(2) to the slave side of a
// pseudo-terminal, or to a pipe, with a thread draining the other end as a
// terminal or a reader would.
void WriteLines(benchmark::State& state, int writeEnd, int readEnd) {
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
    int slave = name ? open(name, O_RDWR | O_NOCTTY) : -1;
    if (slave < 0) {
        state.SkipWithError("no pseudo-terminal");
        return;
    }
    WriteLines(state, slave, master);
}
BENCHMARK(BM_WriteLineToPseudoTerminal)->UseRealTime();

void BM_WriteLineToPipe(benchmark::State& state) {
    int ends[2];
    if (pipe(ends) != 0) {
        state.SkipWithError("no pipe");
        return;
    }
    WriteLines(state, ends[1], ends[0]);
}
BENCHMARK(BM_WriteLineToPipe)->UseRealTime();

void BM_WriteLineToDevNull(benchmark::State& state) {
    int null = open("/dev/null", O_WRONLY);
    size_t length = std::strlen(sampleLine);
    for (auto _ : state) {
        ssize_t n = write(null, sampleLine, length);
        benchmark::DoNotOptimize(n);
    }
    close(null);
}
BENCHMARK(BM_WriteLineToDevNull);

// The display loop's pause, alone.
void BM_PlatformSleep1ms(benchmark::State& state) {
    for (auto _ : state)
        PlatformSleep(1);
}
BENCHMARK(BM_PlatformSleep1ms)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
