// weigh-bench: the read-out end to end, judged against floors measured in
// the same run (docs/performance.md says what each figure means).
//
//   weigh-bench [--seconds N] [--json]
//
// Every run is a child process, this file exec'd again with --child, so that
// its CPU time and peak memory are the child's alone. The child is the
// program itself (WeighMain against the simulated board, as weigh-sim is) or
// a floor: the program's 1 ms sleep in a loop. Its standard output is a
// pseudo-terminal drained here, as a terminal would. The program is not
// changed: the board's report observer and, where lines are timed, the FILE
// behind stdout note what they see in memory shared with this process.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "../console/console.h"
#include "../platform/platform.h"
#include "../sim/board.h"
#include "../sim/model.h"
#include "../tests/program_state.h"
#include "figures.h"

namespace {

using bench::Event;

using sim::NowNs;

void SleepNs(int64_t ns) {
    std::this_thread::sleep_for(std::chrono::nanoseconds(ns));
}

enum Kind { reportEvents, lineEvents };  // a floor's line events are its wake-ups

// The memory a child shares with weigh-bench: counters, then `capacity`
// events of each kind.
struct Shared {
    std::atomic<int64_t> reportsHanded;  // weighing reports handed to the reader
    std::atomic<int64_t> count[2];       // events of each kind
    int64_t capacity;

    static size_t Size(int64_t capacity) { return sizeof(Shared) + 2 * static_cast<size_t>(capacity) * sizeof(Event); }
    Event* Events(Kind kind) { return reinterpret_cast<Event*>(this + 1) + kind * capacity; }
    int64_t Count(Kind kind) const { return count[kind].load(std::memory_order_acquire); }
    void Append(Kind kind, Event event) {
        int64_t index = count[kind].load(std::memory_order_relaxed);
        if (index >= capacity)
            return;
        Events(kind)[index] = event;
        count[kind].store(index + 1, std::memory_order_release);
    }
};
static_assert(std::atomic<int64_t>::is_always_lock_free, "the counters are shared between processes");

// The floors run no program: bare is the sleep alone, line also writes the
// program's line at each wake-up, slack is line with the default timer slack.
bool IsFloor(std::string_view mode) {
    return mode == "bare" || mode == "line" || mode == "slack";
}

// ---- the child ----

Shared* childShared;
bool childTimesReports;
bench::LineSplitter childLines;

void ObserveReport(const uint8_t* bytes, size_t length) {
    if (length == 0 || bytes[0] != weighingMode)
        return;
    childShared->reportsHanded.fetch_add(1, std::memory_order_relaxed);
    if (childTimesReports)
        childShared->Append(reportEvents, Event{NowNs(), bench::SequenceOfReport(bytes, length)});
}

// stdout's write function in a timed run: the line goes to the terminal in
// one write(2), as the program's own would, and is noted once that returns.
ssize_t TimedWrite(void*, const char* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(STDOUT_FILENO, data + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return done > 0 ? static_cast<ssize_t>(done) : -1;
        done += static_cast<size_t>(n);
    }
    int64_t written = NowNs();
    childLines.Feed(std::string_view(data, size), [&](std::string_view line) {
        childShared->Append(lineEvents, Event{written, bench::SequenceOfLine(line)});
    });
    return static_cast<ssize_t>(size);
}

// A floor: the program's sleep, readied by PlatformStart as the program
// readies it, each wake-up noted. With a line, each wake-up also forms the
// line of a steady board and writes it as the program does: a display pass
// without the board.
[[noreturn]] void FloorLoop(Shared* shared, bool line) {
    PlatformStart();
    test::SetShownLoads(1480, 1523, 1502, 1461);
    shared->Append(lineEvents, Event{NowNs(), 0});
    for (;;) {
        PlatformSleep(1);
        shared->Append(lineEvents, Event{NowNs(), 0});
        if (!line)
            continue;
        char text[128];
        int length = FormatReading(text, sizeof text);
        if (length <= 0 || static_cast<size_t>(length) >= sizeof text ||
            std::fwrite(text, 1, static_cast<size_t>(length), stdout) != static_cast<size_t>(length) ||
            std::fflush(stdout) != 0)
            _exit(2);
    }
}

Shared* MapShared(int fd) {
    struct stat info;
    if (fstat(fd, &info) != 0)
        return nullptr;
    void* memory = mmap(nullptr, static_cast<size_t>(info.st_size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return memory == MAP_FAILED ? nullptr : static_cast<Shared*>(memory);
}

// --child MODE RATE PERIOD_MS LENGTH_MS FD, MODE one of
//   timed    sequenced loads; reports and lines timed
//   counted  steady loads; reports counted
//   plain    steady loads; nothing watched
//   bare, line, slack   a floor (IsFloor)
int ChildMain(int argc, char** argv) {
    if (argc != 7)
        return 2;
    std::string mode = argv[2];
    int32_t rate = std::atoi(argv[3]);
    int32_t periodMs = std::atoi(argv[4]);
    int64_t lengthMs = std::atoll(argv[5]);
    Shared* shared = mode == "plain" ? nullptr : MapShared(std::atoi(argv[6]));
    if (mode != "plain" && !shared)
        return 2;
    if (IsFloor(mode)) {
        testPlainSleep = mode == "slack";  // as on a system without a precise sleep
        FloorLoop(shared, mode != "bare");
    }
    std::string script = mode == "timed" ? bench::SequencedScript(rate, periodMs, lengthMs) : bench::SteadyScript(rate);
    std::string error;
    if (!sim::LoadScript(script, &error)) {
        std::fprintf(stderr, "weigh-bench: %s\n", error.c_str());
        return 2;
    }
    if (shared) {
        childShared = shared;
        childTimesReports = mode == "timed";
        sim::testReportObserver = ObserveReport;
    }
    if (mode == "timed") {
        cookie_io_functions_t sink = {nullptr, TimedWrite, nullptr, nullptr};
        FILE* timed = fopencookie(nullptr, "w", sink);
        if (!timed)
            return 2;
        setvbuf(timed, nullptr, _IOLBF, BUFSIZ);  // as glibc makes stdout at a terminal
        stdout = timed;
    }
    return WeighMain();
}

// ---- weigh-bench itself ----

struct RunPlan {
    const char* mode;
    int32_t rate = 0;
    int32_t periodMs = 0;
    double seconds = 0;
    // The window lasts at least `seconds` and, up to windowGrowNs longer,
    // until it holds this many line events (wake-ups) and timed reports.
    int64_t minLines = 0, minReports = 0;
};

struct RunResult {
    bool ok = false;
    bool started = false;  // the program reached its display loop
    std::vector<Event> reports, lines;
    int64_t fromNs = 0, toNs = 0;  // the steady window
    int64_t reportsInWindow = 0;   // counted by the observer
    double cpuSeconds = 0;
    double mainThreadCpuSeconds = 0;  // the display loop's thread alone
    double peakRssKib = 0;
    double WindowSeconds() const { return static_cast<double>(toNs - fromNs) / 1e9; }
};

// CPU time of one thread of another process, from the scheduler's account.
double ThreadCpuSeconds(pid_t process, pid_t thread) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/task/%d/schedstat", static_cast<int>(process), static_cast<int>(thread));
    long long ns = 0;
    if (FILE* file = std::fopen(path, "r")) {
        if (std::fscanf(file, "%lld", &ns) != 1)
            ns = 0;
        std::fclose(file);
    }
    return static_cast<double>(ns) / 1e9;
}

// Reads what the child writes, as a terminal would, counting its lines.
void Drain(int master, std::atomic<bool>* seen, int64_t* lines) {
    char buffer[65536];
    for (;;) {
        ssize_t n = read(master, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;  // EIO once the child's side has closed
        seen->store(true, std::memory_order_relaxed);
        for (ssize_t i = 0; i < n; ++i)
            *lines += buffer[i] == '\n';
    }
}

// Start-up takes a little over 1.1 s; past this the program has failed.
constexpr int64_t startBoundNs = 15000000000;
// Left out at the start of the steady display, while the reader and the
// display settle, and at its end, where a report has not yet had its line.
constexpr int64_t settleNs = 200000000;
constexpr int64_t tailNs = 50000000;
// A floor has nothing to settle but its own first wake-ups.
constexpr int64_t floorSettleNs = 20000000;
// How much longer than asked a window may last to gather its samples.
constexpr int64_t windowGrowNs = 10000000000;

RunResult RunOnce(const RunPlan& plan) {
    RunResult result;
    int64_t steadyNs = static_cast<int64_t>(plan.seconds * 1e9);
    // The script runs from the open to past the end of the window.
    int64_t lengthMs = (startBoundNs + settleNs + steadyNs + windowGrowNs) / 1000000 + 1000;
    std::string_view mode = plan.mode;
    bool timed = mode == "timed", floor = IsFloor(mode);
    // A line or a wake-up at most every 1 ms, with room for the slack.
    int64_t capacity = timed ? (lengthMs / 1000 + 1) * 1500 : floor ? lengthMs + 1000 : 0;

    int memory = memfd_create("weigh-bench", 0);  // no close-on-exec: the child maps it
    void* mapped = memory >= 0 && ftruncate(memory, static_cast<off_t>(Shared::Size(capacity))) == 0
                       ? mmap(nullptr, Shared::Size(capacity), PROT_READ | PROT_WRITE, MAP_SHARED, memory, 0)
                       : MAP_FAILED;
    if (mapped == MAP_FAILED) {
        std::perror("weigh-bench: shared memory");
        if (memory >= 0)
            close(memory);
        return result;
    }
    Shared* shared = new (mapped) Shared{};
    shared->capacity = capacity;

    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    const char* slaveName = master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 ? ptsname(master) : nullptr;
    int slave = slaveName ? open(slaveName, O_RDWR | O_NOCTTY) : -1;
    int null = open("/dev/null", O_RDONLY);
    std::string arguments[] = {"weigh-bench",
                               "--child",
                               plan.mode,
                               std::to_string(plan.rate),
                               std::to_string(plan.periodMs),
                               std::to_string(lengthMs),
                               std::to_string(memory)};
    char* argv[] = {arguments[0].data(), arguments[1].data(), arguments[2].data(), arguments[3].data(),
                    arguments[4].data(), arguments[5].data(), arguments[6].data(), nullptr};
    pid_t child = slave >= 0 && null >= 0 ? fork() : -1;
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(null, STDIN_FILENO);
        dup2(slave, STDOUT_FILENO);
        execv("/proc/self/exe", argv);
        _exit(127);
    }
    for (int fd : {slave, null})
        if (fd >= 0)
            close(fd);
    if (child < 0) {
        std::perror(slave >= 0 && null >= 0 ? "weigh-bench: fork" : "weigh-bench: pseudo-terminal");
        if (master >= 0)
            close(master);
        munmap(mapped, Shared::Size(capacity));
        close(memory);
        return result;
    }
    std::atomic<bool> seen{false};
    int64_t terminalLines = 0;
    std::thread drain(Drain, master, &seen, &terminalLines);

    int64_t startedNs = NowNs();
    while (NowNs() - startedNs < startBoundNs) {
        if (seen.load(std::memory_order_relaxed) || shared->Count(lineEvents) > 0) {
            result.started = true;
            break;
        }
        if (waitpid(child, nullptr, WNOHANG) == child) {
            child = -1;
            break;
        }
        SleepNs(1000000);
    }
    clockid_t childClock;
    if (result.started && clock_getcpuclockid(child, &childClock) == 0) {
        SleepNs(floor ? floorSettleNs : settleNs);
        timespec cpu0, cpu1;
        clock_gettime(childClock, &cpu0);
        double main0 = ThreadCpuSeconds(child, child);
        int64_t count0 = shared->reportsHanded.load(std::memory_order_relaxed);
        result.fromNs = NowNs();
        int64_t lines0 = shared->Count(lineEvents);
        int64_t reports0 = shared->Count(reportEvents);
        SleepNs(steadyNs);
        while (NowNs() - result.fromNs < steadyNs + windowGrowNs &&
               (shared->Count(lineEvents) - lines0 < plan.minLines ||
                shared->Count(reportEvents) - reports0 < plan.minReports))
            SleepNs(10000000);
        result.toNs = NowNs();
        int64_t count1 = shared->reportsHanded.load(std::memory_order_relaxed);
        clock_gettime(childClock, &cpu1);
        result.mainThreadCpuSeconds = ThreadCpuSeconds(child, child) - main0;
        result.cpuSeconds =
            static_cast<double>(cpu1.tv_sec - cpu0.tv_sec) + static_cast<double>(cpu1.tv_nsec - cpu0.tv_nsec) / 1e9;
        result.reportsInWindow = count1 - count0;
        result.ok = true;
    } else {
        std::fprintf(stderr, result.started ? "weigh-bench: cannot read the program's CPU clock\n"
                                            : "weigh-bench: the program did not reach its display loop\n");
    }
    if (child > 0) {
        kill(child, SIGKILL);
        int status;
        rusage usage;
        if (wait4(child, &status, 0, &usage) == child)
            result.peakRssKib = static_cast<double>(usage.ru_maxrss);
    }
    drain.join();
    close(master);

    int64_t lineCount = shared->Count(lineEvents);
    result.reports.assign(shared->Events(reportEvents), shared->Events(reportEvents) + shared->Count(reportEvents));
    result.lines.assign(shared->Events(lineEvents), shared->Events(lineEvents) + lineCount);
    // Every line the timed FILE took must have reached the terminal; the
    // child may have been ended between a write and its note.
    if (timed && lineCount < capacity && (terminalLines < lineCount || terminalLines > lineCount + 1)) {
        std::fprintf(stderr, "weigh-bench: the terminal got %lld lines where %lld were timed\n",
                     static_cast<long long>(terminalLines), static_cast<long long>(lineCount));
        result.ok = false;
    }
    munmap(mapped, Shared::Size(capacity));
    close(memory);
    return result;
}

// The program's start-up gives the board 100 ms to answer its probe; on a
// machine busy enough to keep the probe's thread off the CPU that long it
// ends as a user's would ("cannot open"). That is the start-up's to answer
// for, not the read-out's: such a run is started again, twice at most.
bool Run(RunResult* result, const RunPlan& plan, const char* what) {
    std::fprintf(stderr, "weigh-bench: %s\n", what);
    *result = RunOnce(plan);
    for (int attempt = 2; attempt <= 3 && !result->started; ++attempt) {
        std::fprintf(stderr, "weigh-bench: starting that run again (%d of 3)\n", attempt);
        *result = RunOnce(plan);
    }
    return result->ok;
}

std::vector<Event> Within(const std::vector<Event>& events, int64_t fromNs, int64_t toNs) {
    std::vector<Event> inside;
    for (const Event& event : events)
        if (event.ns >= fromNs && event.ns < toNs)
            inside.push_back(event);
    return inside;
}

// A floor's runs, taken together.
struct Floor {
    std::vector<double> periodsMs;
    double cpuSeconds = 0, windowSeconds = 0;
    double CoreShare() const { return windowSeconds > 0 ? cpuSeconds / windowSeconds : 0; }
};

bool AddFloorRun(Floor* floor, const char* mode, double seconds, int64_t minPeriods, const char* what) {
    RunResult run;
    if (!Run(&run, {mode, 0, 0, seconds, minPeriods + 2, 0}, what))
        return false;
    std::vector<double> periods = bench::PeriodsMs(Within(run.lines, run.fromNs, run.toNs));
    floor->periodsMs.insert(floor->periodsMs.end(), periods.begin(), periods.end());
    floor->cpuSeconds += run.cpuSeconds;
    floor->windowSeconds += run.WindowSeconds();
    return true;
}

// The share of the reports in a timed run's window that a line showed, and
// the rate the board really sent them at.
void Shown(const RunResult& run, double* share, double* rate) {
    int64_t end = run.toNs - tailNs;
    bench::Matching matched = bench::MatchReports(run.reports, run.lines, run.fromNs, end);
    *share = matched.reports ? static_cast<double>(matched.shown) / static_cast<double>(matched.reports) : 0;
    *rate = static_cast<double>(matched.reports) / (static_cast<double>(end - run.fromNs) / 1e9);
}

double LoadAverage() {
    double load = -1;
    if (FILE* file = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(file, "%lf", &load) != 1)
            load = -1;
        std::fclose(file);
    }
    return load;
}

int Usage(FILE* to) {
    std::fputs("usage: weigh-bench [--seconds N] [--json]\n"
               "Runs the weighing console against an instrumented simulated board, N seconds\n"
               "(default 10) of steady display a run, with loops of its own 1 ms sleep run\n"
               "between them as the floors it is judged against, and prints what it measured\n"
               "as a table, or with --json as one JSON object.\n",
               to);
    return to == stdout ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--child") == 0)
        return ChildMain(argc, argv);
    double seconds = 10;
    bool json = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0) {
            json = true;
        } else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            char* end = nullptr;
            seconds = std::strtod(argv[++i], &end);
            if (*end != '\0' || !(seconds >= 0.5 && seconds <= 3600))
                return Usage(stderr);
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            return Usage(stdout);
        } else {
            return Usage(stderr);
        }
    }

    bench::Figures figures;
    figures.seconds = seconds;
    figures.loadAverage = LoadAverage();
    // The floors' runs come before, between and after the judged runs, so
    // that the program and its floors see the same host. The bare loop's
    // three give minSamples periods together; the line loop's two come just
    // before and after the run whose CPU is judged against them. A board of
    // 1000 reports a second gives minSamples timed reports in 5 s.
    using bench::minSamples;
    double bareSeconds = std::max(0.1, seconds / 5), lineSeconds = std::max(0.1, seconds / 4);
    int64_t bareMin = minSamples / 3 + 1;
    RunPlan latencyPlan{"timed", 1000, 1, seconds, minSamples + 2, minSamples + 1000 * tailNs / 1000000000 + 20};
    Floor bare, line, slack;
    RunResult at1000, steady, at100, flat;
    if (!AddFloorRun(&bare, "bare", bareSeconds, bareMin, "the floor: a bare 1 ms sleep loop (1 of 3)") ||
        !Run(&at1000, latencyPlan, "board at 1000 reports a second: latency, pass period") ||
        !AddFloorRun(&bare, "bare", bareSeconds, bareMin, "the floor: a bare 1 ms sleep loop (2 of 3)") ||
        !AddFloorRun(&line, "line", lineSeconds, 0, "the floor: the line loop (1 of 2)") ||
        !Run(&steady, {"plain", 100, 0, seconds}, "steady display, nothing watched: CPU time and memory") ||
        !AddFloorRun(&line, "line", lineSeconds, 0, "the floor: the line loop (2 of 2)") ||
        !AddFloorRun(&bare, "bare", bareSeconds, bareMin, "the floor: a bare 1 ms sleep loop (3 of 3)") ||
        !AddFloorRun(&slack, "slack", bareSeconds, minSamples, "the line loop, default timer slack") ||
        // Not judged, so after the floors; the shown share needs fewer seconds.
        !Run(&at100, {"timed", 100, 10, std::max(0.5, seconds / 2)}, "board at 100 reports a second: reports shown") ||
        !Run(&flat, {"counted", 0, 0, std::min(seconds, 3.0)}, "board as fast as reads come: the reader's ceiling"))
        return 1;
    figures.loadAverageEnd = LoadAverage();

    figures.sleepPeriods = static_cast<int64_t>(bare.periodsMs.size());
    figures.sleepPeriodMedianMs = bench::Quantile(bare.periodsMs, 0.5);
    figures.sleepPeriodP99Ms = bench::Quantile(bare.periodsMs, 0.99);
    figures.latencyFloorP50Ms = bench::LatencyFloorMs(bare.periodsMs, 0.5);
    figures.latencyFloorP99Ms = bench::LatencyFloorMs(bare.periodsMs, 0.99);
    figures.sleepCoreShare = bare.CoreShare();
    figures.lineLoopCoreShare = line.CoreShare();
    figures.lineLoopPeriodMedianMs = bench::Quantile(line.periodsMs, 0.5);
    figures.defaultSlackPeriods = static_cast<int64_t>(slack.periodsMs.size());
    figures.defaultSlackPeriodMedianMs = bench::Quantile(slack.periodsMs, 0.5);
    figures.defaultSlackPeriodP99Ms = bench::Quantile(slack.periodsMs, 0.99);
    figures.defaultSlackCoreShare = slack.CoreShare();

    int64_t windowEnd = at1000.toNs - tailNs;
    std::vector<int64_t> sent = bench::SentOnSchedule(at1000.reports, latencyPlan.rate);
    std::vector<double> latencies =
        bench::LatencyToScreenMs(at1000.reports, sent, at1000.lines, at1000.fromNs, windowEnd);
    figures.latencyP50Ms = bench::Quantile(latencies, 0.5);
    figures.latencyP99Ms = bench::Quantile(latencies, 0.99);
    figures.latencyMaxMs = bench::Quantile(latencies, 1.0);
    std::vector<double> handOvers;
    for (size_t i = 0; i < at1000.reports.size(); ++i)
        if (sent[i] >= at1000.fromNs && sent[i] < windowEnd)
            handOvers.push_back(static_cast<double>(at1000.reports[i].ns - sent[i]) / 1e6);
    figures.handOverP50Ms = bench::Quantile(handOvers, 0.5);
    figures.handOverP99Ms = bench::Quantile(handOvers, 0.99);
    figures.latencySamples = static_cast<int64_t>(latencies.size());
    figures.latencyP99ToFloor = bench::Ratio(figures.latencyP99Ms, figures.latencyFloorP99Ms);
    Shown(at1000, &figures.shownShare1000Hz, &figures.boardRate1000Hz);
    std::vector<double> passes = bench::PeriodsMs(Within(at1000.lines, at1000.fromNs, at1000.toNs));
    figures.passPeriods = static_cast<int64_t>(passes.size());
    figures.passPeriodMedianMs = bench::Quantile(passes, 0.5);
    figures.passPeriodP99Ms = bench::Quantile(passes, 0.99);
    figures.passToSleepRatio = bench::Ratio(figures.passPeriodMedianMs, figures.sleepPeriodMedianMs);
    figures.passToLineLoopRatio = bench::Ratio(figures.passPeriodMedianMs, figures.lineLoopPeriodMedianMs);

    figures.cpuCoreShare = steady.cpuSeconds / steady.WindowSeconds();
    figures.displayThreadCoreShare = steady.mainThreadCpuSeconds / steady.WindowSeconds();
    figures.cpuToBareLoop = bench::Ratio(figures.cpuCoreShare, figures.sleepCoreShare);
    figures.displayCpuToBareLoop = bench::Ratio(figures.displayThreadCoreShare, figures.sleepCoreShare);
    figures.displayCpuToLineLoop = bench::Ratio(figures.displayThreadCoreShare, figures.lineLoopCoreShare);
    figures.peakRssKib = steady.peakRssKib;

    Shown(at100, &figures.shownShare100Hz, &figures.boardRate100Hz);
    figures.readerMaxReportsPerS = static_cast<double>(flat.reportsInWindow) / flat.WindowSeconds();

    std::fputs(json ? bench::FormatJson(figures).c_str() : bench::FormatTable(figures).c_str(), stdout);
    return 0;
}
