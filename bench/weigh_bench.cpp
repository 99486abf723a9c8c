// weigh-bench: the weighing console end to end, against an instrumented
// simulated board, with its output on a pseudo-terminal.
//
//   weigh-bench [--seconds N] [--json | --breakdown]
//
// Each measuring run is a child process that is the program itself, as
// weigh-sim is: the same start-up and the same display loop (WeighMain),
// linked with the simulated board. The child is started afresh (fork, then
// exec of this same file with --child) so that its CPU time and memory are
// the program's alone. Its standard output is the slave side of a
// pseudo-terminal that this process drains, as a terminal would.
//
// What the program does is not touched. Two things watch it from outside:
// the board's report observer, which notes when each report is handed to
// the reader, and, in the runs that time lines, the FILE that stdout points
// to: a line-buffered FILE (as glibc makes stdout on a terminal) whose write
// function passes each line to the terminal with write(2) and notes the
// moment that call returns. Both notes go to memory shared with this
// process. The run that measures CPU time and memory has neither.
//
// The program is judged against floors measured in the same run, each in a
// child process of its own started the same way: a bare loop of the same
// 1 ms sleep, readied as the program readies it, that notes each of its
// wake-ups and does nothing else; the same loop forming and writing the
// program's line to the terminal at each wake-up, for the display thread's
// CPU and pass period; and, beside them, the line loop with the system's
// default timer slack. Their runs come before, between and after the program's judged
// runs (bare, timed, bare, line, plain, line, bare), so that both see the
// same host; the line loop with the default slack comes after them.
//
// Latency is from the moment the board sends a report, by its own
// schedule, to the first line that shows it or a later one. The board
// sends 1000 reports a second in that run, so that 5 s give the 5,000
// timed reports a p99 needs; every window lasts, if need be, until its
// figures have that many samples.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "../console/console.h"
#include "../platform/platform.h"
#include "../sim/board.h"
#include "harness.h"

namespace {

using bench::Event;

int64_t NowNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void SleepNs(int64_t ns) {
    std::this_thread::sleep_for(std::chrono::nanoseconds(ns));
}

// The memory a child shares with weigh-bench: counters, then `capacity`
// report events, then `capacity` line events.
struct Shared {
    std::atomic<int64_t> reportsHanded;  // 0x34 reports handed to the reader
    std::atomic<int64_t> reportEvents;
    std::atomic<int64_t> lineEvents;
    // How long the timed FILE's writes took, the write(2) calls alone.
    std::atomic<int64_t> writes, writeNs, writesOver100us, writesOver1ms, writeMaxNs;
    int64_t capacity;
};
static_assert(std::atomic<int64_t>::is_always_lock_free, "the counters are shared between processes");

size_t SharedSize(int64_t capacity) {
    return sizeof(Shared) + 2 * static_cast<size_t>(capacity) * sizeof(Event);
}
Event* ReportEvents(Shared* shared) {
    return reinterpret_cast<Event*>(shared + 1);
}
Event* LineEvents(Shared* shared) {
    return ReportEvents(shared) + shared->capacity;
}

void Append(Shared* shared, std::atomic<int64_t>& count, Event* events, Event event) {
    int64_t index = count.load(std::memory_order_relaxed);
    if (index >= shared->capacity)
        return;
    events[index] = event;
    count.store(index + 1, std::memory_order_release);
}

// ---- the child: the program, watched ----

Shared* childShared;
bool childTimesReports;
bench::LineSplitter childLines;

void ObserveReport(const uint8_t* bytes, size_t length) {
    if (length == 0 || bytes[0] != 0x34)
        return;
    childShared->reportsHanded.fetch_add(1, std::memory_order_relaxed);
    if (childTimesReports)
        Append(childShared, childShared->reportEvents, ReportEvents(childShared),
               Event{NowNs(), bench::SequenceOfReport(bytes, length)});
}

int childSink = STDOUT_FILENO;  // where the timed FILE writes

ssize_t TimedWrite(void*, const char* data, size_t size) {
    size_t done = 0;
    int64_t before = NowNs();
    while (done < size) {
        ssize_t n = write(childSink, data + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return done > 0 ? static_cast<ssize_t>(done) : -1;
        done += static_cast<size_t>(n);
    }
    int64_t written = NowNs();
    int64_t took = written - before;
    childShared->writes.fetch_add(1, std::memory_order_relaxed);
    childShared->writeNs.fetch_add(took, std::memory_order_relaxed);
    childShared->writesOver100us.fetch_add(took > 100000, std::memory_order_relaxed);
    childShared->writesOver1ms.fetch_add(took > 1000000, std::memory_order_relaxed);
    if (took > childShared->writeMaxNs.load(std::memory_order_relaxed))
        childShared->writeMaxNs.store(took, std::memory_order_relaxed);
    childLines.Feed(std::string_view(data, size), [&](std::string_view line) {
        Append(childShared, childShared->lineEvents, LineEvents(childShared),
               Event{written, bench::SequenceOfLine(line)});
    });
    return static_cast<ssize_t>(size);
}

// The floors: the program's 1 ms sleep (PlatformStart's, as the program
// readies it) and nothing else, each wake-up noted as a line event. With a
// line, each wake-up also forms the program's line of a steady board and
// writes it to the terminal as the program does (one write, stdout
// line-buffered at a terminal): the work of a display pass without the
// board. With a neighbour, a second thread sleeps beside it as the
// simulated board's reader does while it waits for a report.
[[noreturn]] void FloorLoop(Shared* shared, bool neighbour, bool line) {
    PlatformStart();
    Mrf = 1480;
    Mrb = 1523;
    Mlf = 1502;
    Mlb = 1461;
    Msum = Mrf + Mrb + Mlf + Mlb;
    if (neighbour)
        std::thread([] {
            for (;;)
                SleepNs(2000000);
        }).detach();
    Append(shared, shared->lineEvents, LineEvents(shared), Event{NowNs(), 0});
    for (;;) {
        PlatformSleep(1);
        Append(shared, shared->lineEvents, LineEvents(shared), Event{NowNs(), 0});
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

// --child MODE RATE PERIOD_MS LENGTH_MS FD
//   timed:   sequenced loads; reports and lines timed
//   counted: steady loads; reports counted
//   plain:   steady loads; nothing watched
//   bare:    no program: the bare 1 ms sleep loop, its wake-ups timed
//   line:    no program: the same loop forming and writing a line to the
//            terminal after each wake-up
// and, after a colon:
//   line:default, bare:default, timed:default   the system's default timer
//            slack: the platform's plain sleep, as where it offers no precise one
// and, for --breakdown:
//   timed:null   the lines go to /dev/null, a write each, not to the terminal
//   bare:neighbour   a second thread sleeping 2 ms at a time beside the loop
int ChildMain(int argc, char** argv) {
    if (argc != 7)
        return 2;
    std::string mode = argv[2], variant;
    if (size_t colon = mode.find(':'); colon != std::string::npos) {
        variant = mode.substr(colon + 1);
        mode.resize(colon);
    }
    testPlainSleep = variant == "default";
    int32_t rate = std::atoi(argv[3]);
    int32_t periodMs = std::atoi(argv[4]);
    int64_t lengthMs = std::atoll(argv[5]);
    int fd = std::atoi(argv[6]);
    if (mode == "bare" || mode == "line") {
        struct stat info;
        if (fstat(fd, &info) != 0)
            return 2;
        void* memory = mmap(nullptr, static_cast<size_t>(info.st_size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (memory == MAP_FAILED)
            return 2;
        FloorLoop(static_cast<Shared*>(memory), variant == "neighbour", mode == "line");
    }
    std::string script = mode == "timed" ? bench::SequencedScript(rate, periodMs, lengthMs) : bench::SteadyScript(rate);
    std::string error;
    if (!sim::LoadScript(script, &error)) {
        std::fprintf(stderr, "weigh-bench: %s\n", error.c_str());
        return 2;
    }
    if (mode != "plain") {
        struct stat info;
        if (fstat(fd, &info) != 0)
            return 2;
        void* memory = mmap(nullptr, static_cast<size_t>(info.st_size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (memory == MAP_FAILED)
            return 2;
        childShared = static_cast<Shared*>(memory);
        childTimesReports = mode == "timed";
        sim::reportObserver = ObserveReport;
    }
    if (mode == "timed") {
        cookie_io_functions_t sink = {nullptr, TimedWrite, nullptr, nullptr};
        FILE* timed = fopencookie(nullptr, "w", sink);
        if (!timed)
            return 2;
        setvbuf(timed, nullptr, _IOLBF, BUFSIZ);
        stdout = timed;
        if (variant == "null")
            childSink = open("/dev/null", O_WRONLY);
        if (childSink < 0)
            return 2;
    }
    return WeighMain();
}

// ---- weigh-bench itself ----

struct RunPlan {
    const char* mode;
    int32_t rate;
    int32_t periodMs;
    double seconds;
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
    // The timed FILE's write(2) calls over the whole run.
    int64_t writes = 0, writesOver100us = 0, writesOver1ms = 0;
    double writeMeanUs = 0, writeMaxMs = 0;
};

// CPU time of one thread of another process, from the scheduler's account.
double ThreadCpuSeconds(pid_t process, pid_t thread) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/task/%d/schedstat", static_cast<int>(process),
                  static_cast<int>(thread));
    long long ns = 0;
    if (FILE* file = std::fopen(path, "r")) {
        if (std::fscanf(file, "%lld", &ns) != 1)
            ns = 0;
        std::fclose(file);
    }
    return static_cast<double>(ns) / 1e9;
}

// Reads what the program writes, as a terminal would, counting its lines.
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
// The bare loop has nothing to settle but its own first wake-ups.
constexpr int64_t bareSettleNs = 20000000;
// How much longer than asked a window may last to gather its samples.
constexpr int64_t windowGrowNs = 10000000000;

RunResult RunOnce(const RunPlan& plan) {
    RunResult result;
    int64_t steadyNs = static_cast<int64_t>(plan.seconds * 1e9);
    // The script runs from the open to past the end of the window.
    int64_t lengthMs = (startBoundNs + settleNs + steadyNs + windowGrowNs) / 1000000 + 1000;
    std::string mode = plan.mode;
    bool timed = mode.rfind("timed", 0) == 0;
    bool bare = mode.rfind("bare", 0) == 0 || mode.rfind("line", 0) == 0;  // a floor: no program
    bool toTerminal = timed && mode.find(":null") == std::string::npos;
    // A line or a wake-up at most every 1 ms, with room for the slack.
    int64_t capacity = timed ? (lengthMs / 1000 + 1) * 1500 : bare ? lengthMs + 1000 : 0;

    int memory = memfd_create("weigh-bench", 0);
    if (memory < 0 || ftruncate(memory, static_cast<off_t>(SharedSize(capacity))) != 0) {
        std::perror("weigh-bench: shared memory");
        return result;
    }
    void* mapped = mmap(nullptr, SharedSize(capacity), PROT_READ | PROT_WRITE, MAP_SHARED, memory, 0);
    if (mapped == MAP_FAILED) {
        std::perror("weigh-bench: mmap");
        close(memory);
        return result;
    }
    Shared* shared = new (mapped) Shared{};
    shared->capacity = capacity;

    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    const char* slaveName = master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 ? ptsname(master) : nullptr;
    int slave = slaveName ? open(slaveName, O_RDWR | O_NOCTTY) : -1;
    int null = open("/dev/null", O_RDONLY);
    if (slave < 0 || null < 0) {
        std::perror("weigh-bench: pseudo-terminal");
        for (int fd : {master, slave, null, memory})
            if (fd >= 0)
                close(fd);
        munmap(mapped, SharedSize(capacity));
        return result;
    }

    std::string arguments[] = {"weigh-bench", "--child", plan.mode, std::to_string(plan.rate),
                               std::to_string(plan.periodMs), std::to_string(lengthMs), std::to_string(memory)};
    char* argv[8];
    for (int i = 0; i < 7; ++i)
        argv[i] = arguments[i].data();
    argv[7] = nullptr;

    pid_t child = fork();
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(null, STDIN_FILENO);
        dup2(slave, STDOUT_FILENO);
        execv("/proc/self/exe", argv);
        _exit(127);
    }
    close(slave);
    close(null);
    if (child < 0) {
        std::perror("weigh-bench: fork");
        close(master);
        munmap(mapped, SharedSize(capacity));
        close(memory);
        return result;
    }
    std::atomic<bool> seen{false};
    int64_t terminalLines = 0;
    std::thread drain(Drain, master, &seen, &terminalLines);

    int64_t startedNs = NowNs();
    bool started = false;
    while (NowNs() - startedNs < startBoundNs) {
        if (seen.load(std::memory_order_relaxed) || shared->lineEvents.load(std::memory_order_relaxed) > 0) {
            started = true;
            break;
        }
        if (waitpid(child, nullptr, WNOHANG) == child) {
            child = -1;
            break;
        }
        SleepNs(1000000);
    }
    result.started = started;
    clockid_t childClock;
    bool clockOk = child > 0 && clock_getcpuclockid(child, &childClock) == 0;
    if (started && clockOk) {
        SleepNs(bare ? bareSettleNs : settleNs);
        timespec cpu0, cpu1;
        clock_gettime(childClock, &cpu0);
        double main0 = ThreadCpuSeconds(child, child);
        int64_t count0 = shared->reportsHanded.load(std::memory_order_relaxed);
        result.fromNs = NowNs();
        int64_t lines0 = shared->lineEvents.load(std::memory_order_relaxed);
        int64_t reports0 = shared->reportEvents.load(std::memory_order_relaxed);
        SleepNs(steadyNs);
        while (NowNs() - result.fromNs < steadyNs + windowGrowNs &&
               (shared->lineEvents.load(std::memory_order_relaxed) - lines0 < plan.minLines ||
                shared->reportEvents.load(std::memory_order_relaxed) - reports0 < plan.minReports))
            SleepNs(10000000);
        result.toNs = NowNs();
        int64_t count1 = shared->reportsHanded.load(std::memory_order_relaxed);
        clock_gettime(childClock, &cpu1);
        result.mainThreadCpuSeconds = ThreadCpuSeconds(child, child) - main0;
        result.cpuSeconds = static_cast<double>(cpu1.tv_sec - cpu0.tv_sec) +
                            static_cast<double>(cpu1.tv_nsec - cpu0.tv_nsec) / 1e9;
        result.reportsInWindow = count1 - count0;
        result.ok = true;
    } else {
        std::fprintf(stderr, started ? "weigh-bench: cannot read the program's CPU clock\n"
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

    result.writes = shared->writes.load(std::memory_order_relaxed);
    result.writesOver100us = shared->writesOver100us.load(std::memory_order_relaxed);
    result.writesOver1ms = shared->writesOver1ms.load(std::memory_order_relaxed);
    result.writeMeanUs = result.writes ? static_cast<double>(shared->writeNs.load(std::memory_order_relaxed)) / 1e3 /
                                             static_cast<double>(result.writes)
                                       : 0;
    result.writeMaxMs = static_cast<double>(shared->writeMaxNs.load(std::memory_order_relaxed)) / 1e6;
    int64_t reportCount = shared->reportEvents.load(std::memory_order_acquire);
    int64_t lineCount = shared->lineEvents.load(std::memory_order_acquire);
    result.reports.assign(ReportEvents(shared), ReportEvents(shared) + reportCount);
    result.lines.assign(LineEvents(shared), LineEvents(shared) + lineCount);
    // Every line the timed FILE took must have reached the terminal; the
    // child may have been ended between a write and its note.
    if (toTerminal && lineCount < capacity && (terminalLines < lineCount || terminalLines > lineCount + 1)) {
        std::fprintf(stderr, "weigh-bench: the terminal got %lld lines where %lld were timed\n",
                     static_cast<long long>(terminalLines), static_cast<long long>(lineCount));
        result.ok = false;
    }
    munmap(mapped, SharedSize(capacity));
    close(memory);
    return result;
}

// The program's start-up gives the board 100 ms to answer its probe; on a
// machine busy enough to keep the probe's thread off the CPU that long it
// ends as a user's would ("cannot open"). That is the start-up's to answer
// for, not the read-out's: such a run is started again, twice at most.
RunResult Run(const RunPlan& plan) {
    RunResult result = RunOnce(plan);
    for (int attempt = 2; attempt <= 3 && !result.started; ++attempt) {
        std::fprintf(stderr, "weigh-bench: starting that run again (%d of 3)\n", attempt);
        result = RunOnce(plan);
    }
    return result;
}

std::vector<Event> Within(const std::vector<Event>& events, int64_t fromNs, int64_t toNs) {
    std::vector<Event> inside;
    for (const Event& event : events)
        if (event.ns >= fromNs && event.ns < toNs)
            inside.push_back(event);
    return inside;
}

// The bare sleep loop's runs, taken together.
struct BareFloor {
    std::vector<double> periodsMs;
    double cpuSeconds = 0, windowSeconds = 0;
};

bool AddBareRun(BareFloor* floor, const char* mode, double seconds, int64_t minPeriods) {
    RunResult run = Run({mode, 0, 0, seconds, minPeriods + 2, 0});
    if (!run.ok)
        return false;
    std::vector<double> periods = bench::PeriodsMs(Within(run.lines, run.fromNs, run.toNs));
    floor->periodsMs.insert(floor->periodsMs.end(), periods.begin(), periods.end());
    floor->cpuSeconds += run.cpuSeconds;
    floor->windowSeconds += static_cast<double>(run.toNs - run.fromNs) / 1e9;
    return true;
}

void Progress(const char* what) {
    std::fprintf(stderr, "weigh-bench: %s\n", what);
}

// --breakdown: what separates the program from the floor. The program at
// 100 reports a second, timed, and the bare loop, each as it is and with
// one thing changed, in turns, three rounds; then each run's display-thread
// CPU a wake-up beside the bare runs just before and after it.
int Breakdown(double seconds) {
    struct Step {
        const char* mode;
        const char* what;
    };
    const Step round[] = {
        {"bare", "bare loop"},
        {"timed", "program, lines to the terminal"},
        {"bare", "bare loop"},
        {"timed:null", "program, lines to /dev/null, a write each"},
        {"bare", "bare loop"},
        {"bare:neighbour", "bare loop, a 2 ms sleeper beside it"},
        {"bare", "bare loop"},
        {"line", "line loop: a line formed and written each"},
    };
    const Step slack[] = {
        {"bare", "bare loop"},
        {"bare:default", "bare loop, default timer slack"},
        {"timed:default", "program, default timer slack"},
        {"bare:default", "bare loop, default timer slack"},
        {"timed", "program, lines to the terminal"},
        {"bare", "bare loop"},
    };
    std::vector<Step> plan;
    for (int i = 0; i < 3; ++i)
        plan.insert(plan.end(), std::begin(round), std::end(round));
    plan.insert(plan.end(), std::begin(slack), std::end(slack));

    struct Figures {
        const char* what;
        std::string mode;
        bool bare;
        double periodP50, periodP99, latencyP50, latencyP99, waitP99, mainShare, share, mainUsPerWake;
        RunResult run;
    };
    std::vector<Figures> rows;
    for (const Step& step : plan) {
        Progress(step.what);
        bool bare = std::strncmp(step.mode, "bare", 4) == 0 || std::strncmp(step.mode, "line", 4) == 0;
        RunResult run = Run({step.mode, 100, 10, seconds});
        if (!run.ok)
            return 1;
        std::vector<Event> wakes = Within(run.lines, run.fromNs, run.toNs);
        std::vector<double> periods = bench::PeriodsMs(wakes);
        Figures row{step.what, step.mode, bare, 0, 0, 0, 0, 0, 0, 0, 0, {}};
        row.periodP50 = bench::Quantile(periods, 0.5);
        row.periodP99 = bench::Quantile(periods, 0.99);
        // The floor its own periods would make: for the program, what its
        // latency would be if reports came at moments taken at random.
        row.waitP99 = bench::LatencyFloorMs(periods, 0.99);
        if (bare) {
            row.latencyP50 = bench::LatencyFloorMs(periods, 0.5);  // the floor's
            row.latencyP99 = bench::LatencyFloorMs(periods, 0.99);
        } else {
            std::vector<double> latencies = bench::LatencyToScreenMs(
                run.reports, bench::SentOnSchedule(run.reports, 100), run.lines, run.fromNs, run.toNs - tailNs);
            row.latencyP50 = bench::Quantile(latencies, 0.5);
            row.latencyP99 = bench::Quantile(latencies, 0.99);
        }
        double window = static_cast<double>(run.toNs - run.fromNs) / 1e9;
        row.mainShare = run.mainThreadCpuSeconds / window;
        row.share = run.cpuSeconds / window;
        row.mainUsPerWake = wakes.empty() ? 0 : 1e6 * run.mainThreadCpuSeconds / static_cast<double>(wakes.size());
        run.reports.clear();
        run.lines.clear();
        row.run = run;
        rows.push_back(row);
    }

    std::string text = "weigh-bench --breakdown: " + std::to_string(seconds) + " s a run\n";
    char line[256];
    std::snprintf(line, sizeof line, "%-46s %7s %7s %7s %7s %7s %7s %7s %7s %7s\n", "run", "period", "p99",
                  "latency", "p99", "wait", "main", "process", "main", "main to");
    text += line;
    std::snprintf(line, sizeof line, "%-46s %7s %7s %7s %7s %7s %7s %7s %7s %7s\n", "", "median", "", "p50", "",
                  "p99", "% core", "% core", "us/wake", "bare");
    text += line;
    // Each run against the mean of the bare runs next to it (with the same
    // timer slack), where it has one on either side.
    std::vector<std::pair<std::string, double>> toBare;
    for (size_t i = 0; i < rows.size(); ++i) {
        const Figures& r = rows[i];
        std::string reference = r.mode.find(":default") != std::string::npos ? "bare:default" : "bare";
        double ratio = std::nan("");
        if (r.mode != reference && i > 0 && i + 1 < rows.size() && rows[i - 1].mode == reference &&
            rows[i + 1].mode == reference) {
            ratio = bench::Ratio(r.mainShare, (rows[i - 1].mainShare + rows[i + 1].mainShare) / 2);
            toBare.emplace_back(r.what, ratio);
        }
        std::snprintf(line, sizeof line, "%-46s %7.3f %7.3f %7.3f %7.3f %7.3f %7.2f %7.2f %7.1f %7s\n", r.what,
                      r.periodP50, r.periodP99, r.latencyP50, r.latencyP99, r.waitP99, 100 * r.mainShare, 100 * r.share, r.mainUsPerWake,
                      std::isfinite(ratio) ? std::to_string(ratio).substr(0, 5).c_str() : "");
        text += line;
    }
    text += "\nthe program's write(2) calls, whole run:\n";
    for (const Figures& r : rows) {
        if (r.bare)
            continue;
        std::snprintf(line, sizeof line, "  %-46s %7lld writes, mean %.1f us, %lld over 0.1 ms, %lld over 1 ms, max %.3f ms\n",
                      r.what, static_cast<long long>(r.run.writes), r.run.writeMeanUs,
                      static_cast<long long>(r.run.writesOver100us), static_cast<long long>(r.run.writesOver1ms),
                      r.run.writeMaxMs);
        text += line;
    }
    text += "\nthe display thread's CPU to the bare loops' next to it, median of the runs:\n";
    std::vector<Step> kinds(std::begin(round), std::end(round));
    kinds.insert(kinds.end(), std::begin(slack), std::end(slack));
    for (const Step& step : kinds) {
        std::vector<double> ratios;
        for (const auto& [what, ratio] : toBare)
            if (what == step.what)
                ratios.push_back(ratio);
        if (ratios.empty())
            continue;
        std::snprintf(line, sizeof line, "  %-46s %.3f (of %zu)\n", step.what, bench::Quantile(ratios, 0.5),
                      ratios.size());
        if (text.find(line) == std::string::npos)
            text += line;
    }
    text += "(periods and latency in ms; a bare loop's latency is its floor; wait p99 is the floor its\n"
            "own periods make)\n";
    std::fputs(text.c_str(), stdout);
    return 0;
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
    std::fputs("usage: weigh-bench [--seconds N] [--json | --breakdown]\n"
               "Runs the weighing console against an instrumented simulated board, N seconds\n"
               "(default 10) of steady display for each of its runs, with a bare 1 ms sleep\n"
               "loop run between them as the floor it is judged against, and prints what it\n"
               "measured as a table, or with --json as one JSON object. --breakdown runs,\n"
               "instead, the program and the bare loop each with one thing changed, in turns,\n"
               "to show what separates the program from its floor.\n",
               to);
    return to == stdout ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--child") == 0)
        return ChildMain(argc, argv);
    double seconds = 10;
    bool json = false, breakdown = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0) {
            json = true;
        } else if (std::strcmp(argv[i], "--breakdown") == 0) {
            breakdown = true;
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

    if (breakdown)
        return Breakdown(seconds);

    bench::Figures figures;
    figures.seconds = seconds;
    figures.loadAverage = LoadAverage();
    // Three bare runs of a fifth each, and each long enough for a third of
    // the floor's periods: its figures from at least minSamples periods,
    // around the two judged runs. The line loop's two runs, a quarter each,
    // come just before and after the run whose CPU is judged against them.
    using bench::minSamples;
    double bareSeconds = std::max(0.1, seconds / 5);
    double lineSeconds = std::max(0.1, seconds / 4);
    BareFloor floor, lineFloor, defaultFloor;

    Progress("the floor: a bare 1 ms sleep loop (1 of 3)");
    if (!AddBareRun(&floor, "bare", bareSeconds, minSamples / 3 + 1))
        return 1;

    // A board of 1000 reports a second gives minSamples timed reports in
    // 5 s, ten times what one of 100 would; the latency of each is to the
    // first line that shows it or a later one.
    Progress("board at 1000 reports a second: latency, pass period, reports shown");
    RunPlan latencyPlan{"timed", 1000, 1, seconds, minSamples + 2, minSamples + 1000 * tailNs / 1000000000 + 20};
    RunResult at1000 = Run(latencyPlan);
    if (!at1000.ok)
        return 1;

    Progress("the floor: a bare 1 ms sleep loop (2 of 3)");
    if (!AddBareRun(&floor, "bare", bareSeconds, minSamples / 3 + 1))
        return 1;

    Progress("the CPU floor: the loop that writes a line at each wake-up (1 of 2)");
    if (!AddBareRun(&lineFloor, "line", lineSeconds, 0))
        return 1;

    Progress("steady display, nothing watched: CPU time and memory");
    RunResult steady = Run({"plain", 100, 0, seconds});
    if (!steady.ok)
        return 1;

    Progress("the CPU floor: the loop that writes a line at each wake-up (2 of 2)");
    if (!AddBareRun(&lineFloor, "line", lineSeconds, 0))
        return 1;

    Progress("the floor: a bare 1 ms sleep loop (3 of 3)");
    if (!AddBareRun(&floor, "bare", bareSeconds, minSamples / 3 + 1))
        return 1;

    Progress("beside the floor: the line loop with the default timer slack");
    if (!AddBareRun(&defaultFloor, "line:default", bareSeconds, minSamples))
        return 1;

    // Not judged, so after the floor; the shown share needs fewer seconds.
    Progress("board at 100 reports a second: reports shown");
    RunResult at100 = Run({"timed", 100, 10, std::max(0.5, seconds / 2)});
    if (!at100.ok)
        return 1;

    Progress("board as fast as reads come: the reader's most reports a second");
    RunResult flat = Run({"counted", 0, 0, std::min(seconds, 3.0)});
    if (!flat.ok)
        return 1;
    figures.loadAverageEnd = LoadAverage();

    figures.sleepPeriods = static_cast<int64_t>(floor.periodsMs.size());
    figures.sleepPeriodMedianMs = bench::Quantile(floor.periodsMs, 0.5);
    figures.sleepPeriodP99Ms = bench::Quantile(floor.periodsMs, 0.99);
    figures.latencyFloorP50Ms = bench::LatencyFloorMs(floor.periodsMs, 0.5);
    figures.latencyFloorP99Ms = bench::LatencyFloorMs(floor.periodsMs, 0.99);
    figures.sleepCoreShare = floor.windowSeconds > 0 ? floor.cpuSeconds / floor.windowSeconds : 0;
    figures.lineLoopCoreShare = lineFloor.windowSeconds > 0 ? lineFloor.cpuSeconds / lineFloor.windowSeconds : 0;
    figures.lineLoopPeriodMedianMs = bench::Quantile(lineFloor.periodsMs, 0.5);
    figures.defaultSlackPeriods = static_cast<int64_t>(defaultFloor.periodsMs.size());
    figures.defaultSlackPeriodMedianMs = bench::Quantile(defaultFloor.periodsMs, 0.5);
    figures.defaultSlackPeriodP99Ms = bench::Quantile(defaultFloor.periodsMs, 0.99);
    figures.defaultSlackCoreShare =
        defaultFloor.windowSeconds > 0 ? defaultFloor.cpuSeconds / defaultFloor.windowSeconds : 0;

    int64_t windowEnd = at1000.toNs - tailNs;
    std::vector<int64_t> sent = bench::SentOnSchedule(at1000.reports, latencyPlan.rate);
    std::vector<double> latencies = bench::LatencyToScreenMs(at1000.reports, sent, at1000.lines, at1000.fromNs, windowEnd);
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
    bench::Matching matched = bench::MatchReports(at1000.reports, at1000.lines, at1000.fromNs, windowEnd);
    figures.shownShare1000Hz = matched.reports ? static_cast<double>(matched.shown) / matched.reports : 0;
    figures.boardRate1000Hz =
        static_cast<double>(matched.reports) / (static_cast<double>(windowEnd - at1000.fromNs) / 1e9);
    std::vector<double> passes = bench::PeriodsMs(Within(at1000.lines, at1000.fromNs, at1000.toNs));
    figures.passPeriods = static_cast<int64_t>(passes.size());
    figures.passPeriodMedianMs = bench::Quantile(passes, 0.5);
    figures.passPeriodP99Ms = bench::Quantile(passes, 0.99);
    figures.passToSleepRatio = bench::Ratio(figures.passPeriodMedianMs, figures.sleepPeriodMedianMs);
    figures.passToLineLoopRatio = bench::Ratio(figures.passPeriodMedianMs, figures.lineLoopPeriodMedianMs);

    double steadySeconds = static_cast<double>(steady.toNs - steady.fromNs) / 1e9;
    figures.cpuCoreShare = steady.cpuSeconds / steadySeconds;
    figures.displayThreadCoreShare = steady.mainThreadCpuSeconds / steadySeconds;
    figures.cpuToBareLoop = bench::Ratio(figures.cpuCoreShare, figures.sleepCoreShare);
    figures.displayCpuToBareLoop = bench::Ratio(figures.displayThreadCoreShare, figures.sleepCoreShare);
    figures.displayCpuToLineLoop = bench::Ratio(figures.displayThreadCoreShare, figures.lineLoopCoreShare);
    figures.peakRssKib = steady.peakRssKib;

    windowEnd = at100.toNs - tailNs;
    matched = bench::MatchReports(at100.reports, at100.lines, at100.fromNs, windowEnd);
    figures.shownShare100Hz = matched.reports ? static_cast<double>(matched.shown) / matched.reports : 0;
    figures.boardRate100Hz = static_cast<double>(matched.reports) / (static_cast<double>(windowEnd - at100.fromNs) / 1e9);

    figures.readerMaxReportsPerS =
        static_cast<double>(flat.reportsInWindow) / (static_cast<double>(flat.toNs - flat.fromNs) / 1e9);

    std::fputs(json ? bench::FormatJson(figures).c_str() : bench::FormatTable(figures).c_str(), stdout);
    return 0;
}
