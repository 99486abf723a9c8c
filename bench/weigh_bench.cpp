// weigh-bench: the read-out end to end, judged against floors measured in
// the same run (docs/performance.md says what each figure means; Usage
// says how to run it).
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
#include <memory>
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
    // The program writes each line whole, with one fwrite and fflush: a
    // call holds whole lines (Stop checks that the terminal got as many).
    int64_t written = NowNs();
    for (std::string_view rest(data, size); !rest.empty();) {
        size_t end = std::min(rest.find('\n'), rest.size());
        childShared->Append(lineEvents, Event{written, bench::SequenceOfLine(rest.substr(0, end))});
        rest.remove_prefix(std::min(end + 1, rest.size()));
    }
    return static_cast<ssize_t>(size);
}

// A floor: the program's sleep, readied by PlatformStart as the program
// readies it, each wake-up noted. With a line, each wake-up is also the
// program's display pass, of a steady board that no reader feeds.
[[noreturn]] void FloorLoop(Shared* shared, bool line) {
    PlatformStart();
    test::SetBoardState(0, 0, 1480, 1523, 1502, 1461);
    shared->Append(lineEvents, Event{NowNs(), 0});
    for (;;) {
        PlatformSleep(1);
        shared->Append(lineEvents, Event{NowNs(), 0});
        if (line && DisplayPass() != 1)
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
    int32_t rate = std::atoi(argv[3]), periodMs = std::atoi(argv[4]);
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
    int32_t rate = 0, periodMs = 0;
    double seconds = 0;
    // The window lasts at least `seconds` and, up to windowGrowNs longer,
    // until it holds this many line events (wake-ups) and timed reports.
    int64_t minLines = 0, minReports = 0;
    bool intoFile = false;  // standard output a file, not a terminal
};

// The first number in a file, or `none` where it holds none.
double FirstNumber(const char* path, double none) {
    double number = none;
    if (FILE* file = std::fopen(path, "r")) {
        if (std::fscanf(file, "%lf", &number) != 1)
            number = none;
        std::fclose(file);
    }
    return number;
}

// Start-up takes a little over 1.1 s; past this the program has failed.
constexpr int64_t startBoundNs = 15000000000;
// Left out at the start of the steady display, while the reader and the
// display settle, and at its end, where a report has not yet had its line.
constexpr int64_t settleNs = 200000000;
constexpr int64_t tailNs = 50000000;
// How much longer than asked a window may last to gather its samples.
constexpr int64_t windowGrowNs = 10000000000;

// What a child has done by one edge of the window.
struct Edge {
    timespec cpu{};
    double mainThreadCpuSeconds = 0;  // from the scheduler's account of the process's first thread
    int64_t handed = 0, lines = 0, reports = 0, written = 0;
};

// One child, the program or a floor: its output drained as a terminal would
// (or written into a file), what it did read at the window's edges, and
// once it has ended, what it left.
struct Child {
    RunPlan plan;
    pid_t pid = -1;
    int master = -1, memory = -1, file = -1;
    Shared* shared = nullptr;
    std::thread drain;
    std::atomic<int64_t> terminalLines{0};
    clockid_t clock{};
    Edge edges[2];
    bool ok = false, started = false;  // started: the program reached its display loop
    std::vector<Event> reports, lines;
    int64_t fromNs = 0, toNs = 0;  // the window, the same for every child beside
    int64_t reportsInWindow = 0;   // counted by the observer
    int64_t linesInWindow = 0;     // written to the terminal or the file
    double cpuSeconds = 0, mainThreadCpuSeconds = 0, peakRssKib = 0;
    double WindowSeconds() const { return static_cast<double>(toNs - fromNs) / 1e9; }
    double CoreShare() const { return cpuSeconds / WindowSeconds(); }
};
using Children = std::vector<std::unique_ptr<Child>>;

void Drain(Child* child) {
    char buffer[65536];
    for (;;) {
        ssize_t n = read(child->master, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;  // EIO once the child's side has closed
        child->terminalLines.fetch_add(std::count(buffer, buffer + n, '\n'), std::memory_order_relaxed);
    }
}

// Lines in the child's output file between its bytes `from` and `to`.
int64_t FileLines(int file, int64_t from, int64_t to) {
    char buffer[65536];
    int64_t lines = 0;
    for (int64_t at = from; at < to;) {
        ssize_t n = pread(file, buffer, static_cast<size_t>(std::min<int64_t>(to - at, sizeof buffer)), at);
        if (n <= 0)
            break;
        lines += std::count(buffer, buffer + n, '\n');
        at += n;
    }
    return lines;
}

bool Start(Child* c, const RunPlan& plan) {
    c->plan = plan;
    // The script runs from the open to past the end of the window.
    int64_t lengthMs =
        (startBoundNs + settleNs + static_cast<int64_t>(plan.seconds * 1e9) + windowGrowNs) / 1000000 + 1000;
    std::string_view mode = plan.mode;
    // A line or a wake-up at most every 1 ms, with room for the slack.
    int64_t capacity = mode == "timed" ? (lengthMs / 1000 + 1) * 1500 : IsFloor(mode) ? lengthMs + 1000 : 0;
    size_t size = Shared::Size(capacity);
    c->memory = memfd_create("weigh-bench", 0);  // no close-on-exec: the child maps it
    void* mapped = c->memory >= 0 && ftruncate(c->memory, static_cast<off_t>(size)) == 0
                       ? mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, c->memory, 0)
                       : MAP_FAILED;
    if (mapped == MAP_FAILED) {
        std::perror("weigh-bench: shared memory");
        return false;
    }
    c->shared = new (mapped) Shared{};
    c->shared->capacity = capacity;

    c->master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    const char* slaveName =
        c->master >= 0 && grantpt(c->master) == 0 && unlockpt(c->master) == 0 ? ptsname(c->master) : nullptr;
    int slave = slaveName ? open(slaveName, O_RDWR | O_NOCTTY) : -1;
    if (plan.intoFile)
        c->file = memfd_create("weigh-bench-output", MFD_CLOEXEC);  // a file on tmpfs
    int null = open("/dev/null", O_RDONLY);
    std::string rate = std::to_string(plan.rate), period = std::to_string(plan.periodMs),
                length = std::to_string(lengthMs), fd = std::to_string(c->memory);
    bool ready = slave >= 0 && null >= 0 && (!plan.intoFile || c->file >= 0);
    c->pid = ready ? fork() : -1;
    if (c->pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(null, STDIN_FILENO);
        dup2(plan.intoFile ? c->file : slave, STDOUT_FILENO);
        execl("/proc/self/exe", "weigh-bench", "--child", plan.mode, rate.c_str(), period.c_str(), length.c_str(),
              fd.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    for (int fd : {slave, null})
        if (fd >= 0)
            close(fd);
    if (c->pid < 0) {
        std::perror(ready ? "weigh-bench: fork" : "weigh-bench: pseudo-terminal");
        return false;
    }
    c->drain = std::thread(Drain, c);
    return true;
}

// Waits for the child's first output or wake-up; false when it ended or
// did not come within the bound.
bool Started(Child* c) {
    struct stat info;
    for (int64_t startedNs = NowNs(); NowNs() - startedNs < startBoundNs; SleepNs(1000000)) {
        if (c->terminalLines.load(std::memory_order_relaxed) > 0 || c->shared->Count(lineEvents) > 0 ||
            (c->file >= 0 && fstat(c->file, &info) == 0 && info.st_size > 0))
            return c->started = clock_getcpuclockid(c->pid, &c->clock) == 0;
        if (waitpid(c->pid, nullptr, WNOHANG) == c->pid) {
            c->pid = -1;
            return false;
        }
    }
    return false;
}

// Reads the child's counters and CPU at one edge of the window (0 or 1).
void Mark(Child* c, int edge) {
    Edge& e = c->edges[edge];
    clock_gettime(c->clock, &e.cpu);
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/task/%d/schedstat", static_cast<int>(c->pid), static_cast<int>(c->pid));
    e.mainThreadCpuSeconds = FirstNumber(path, 0) / 1e9;
    e.handed = c->shared->reportsHanded.load(std::memory_order_relaxed);
    e.lines = c->shared->Count(lineEvents);
    e.reports = c->shared->Count(reportEvents);
    struct stat info;
    e.written = c->file < 0                  ? c->terminalLines.load(std::memory_order_relaxed)
                : fstat(c->file, &info) == 0 ? static_cast<int64_t>(info.st_size)
                                             : 0;
}

// Ends the child and takes what it left.
void Stop(Child* c) {
    if (c->pid > 0) {
        kill(c->pid, SIGKILL);
        rusage usage;
        if (wait4(c->pid, nullptr, 0, &usage) == c->pid)
            c->peakRssKib = static_cast<double>(usage.ru_maxrss);
    }
    if (c->drain.joinable())
        c->drain.join();
    if (Shared* shared = c->shared) {
        int64_t lineCount = shared->Count(lineEvents);
        c->reports.assign(shared->Events(reportEvents), shared->Events(reportEvents) + shared->Count(reportEvents));
        c->lines.assign(shared->Events(lineEvents), shared->Events(lineEvents) + lineCount);
        // Every line the timed FILE took must have reached the terminal; the
        // child may have been ended between a write and its note.
        int64_t terminal = c->terminalLines.load(std::memory_order_relaxed);
        if (std::string_view(c->plan.mode) == "timed" && lineCount < shared->capacity &&
            (terminal < lineCount || terminal > lineCount + 1)) {
            std::fprintf(stderr, "weigh-bench: the terminal got %lld lines where %lld were timed\n",
                         static_cast<long long>(terminal), static_cast<long long>(lineCount));
            c->ok = false;
        }
        munmap(shared, Shared::Size(shared->capacity));
    }
    const Edge &from = c->edges[0], &to = c->edges[1];
    c->cpuSeconds = static_cast<double>(to.cpu.tv_sec - from.cpu.tv_sec) +
                    static_cast<double>(to.cpu.tv_nsec - from.cpu.tv_nsec) / 1e9;
    c->mainThreadCpuSeconds = to.mainThreadCpuSeconds - from.mainThreadCpuSeconds;
    c->reportsInWindow = to.handed - from.handed;
    c->linesInWindow = c->file < 0 ? to.written - from.written : FileLines(c->file, from.written, to.written);
    for (int fd : {c->master, c->memory, c->file})
        if (fd >= 0)
            close(fd);
}

// Runs plans[0], the program, and the floors after it beside it, all over
// the same window, into `children` in the same order. The program's
// start-up gives the board 100 ms to answer its probe; on a machine busy
// enough to keep the probe's thread off the CPU that long it ends as a
// user's would ("cannot open"). That is the start-up's to answer for, not
// the read-out's: such a run is started again, twice at most. The floors
// start once the program shows its lines.
bool Run(const char* what, const std::vector<RunPlan>& plans, Children* children) {
    std::fprintf(stderr, "weigh-bench: %s\n", what);
    Children& c = *children;
    c.push_back(std::make_unique<Child>());
    for (int attempt = 2; !(Start(c[0].get(), plans[0]) && Started(c[0].get())) && attempt <= 3; ++attempt) {
        Stop(c[0].get());
        c[0] = std::make_unique<Child>();
        std::fprintf(stderr, "weigh-bench: starting that run again (%d of 3)\n", attempt);
    }
    bool ok = c[0]->started;
    for (size_t i = 1; i < plans.size(); ++i) {
        c.push_back(std::make_unique<Child>());
        ok = ok && Start(c.back().get(), plans[i]) && Started(c.back().get());
    }
    if (ok) {
        int64_t steadyNs = static_cast<int64_t>(plans[0].seconds * 1e9);
        SleepNs(settleNs);
        int64_t fromNs = NowNs();
        for (auto& child : c)
            Mark(child.get(), 0);
        SleepNs(steadyNs);
        auto isShort = [](const std::unique_ptr<Child>& child) {
            return child->shared->Count(lineEvents) - child->edges[0].lines < child->plan.minLines ||
                   child->shared->Count(reportEvents) - child->edges[0].reports < child->plan.minReports;
        };
        while (NowNs() - fromNs < steadyNs + windowGrowNs && std::any_of(c.begin(), c.end(), isShort))
            SleepNs(10000000);
        int64_t toNs = NowNs();
        for (auto& child : c) {
            Mark(child.get(), 1);
            child->fromNs = fromNs;
            child->toNs = toNs;
            child->ok = true;
        }
    } else {
        std::fprintf(stderr, "weigh-bench: the program did not reach its display loop, or a floor did not start\n");
    }
    for (auto& child : c) {
        Stop(child.get());
        ok = ok && child->ok;
    }
    return ok;
}

// The periods between a run's line events (wake-ups) in its window.
std::vector<double> WindowPeriodsMs(const Child& run) {
    std::vector<Event> inside;
    for (const Event& event : run.lines)
        if (event.ns >= run.fromNs && event.ns < run.toNs)
            inside.push_back(event);
    return bench::PeriodsMs(inside);
}

// A run's periods as figures: their count, median and p99 and, where asked,
// the p50 and p99 of the latency floor they set.
void PeriodFigures(bench::Figures* f, const std::vector<double>& periods, bench::Figure count, bench::Figure median,
                   bench::Figure p99, bench::Figure floorP50 = nullptr, bench::Figure floorP99 = nullptr) {
    f->*count = static_cast<double>(periods.size());
    f->*median = bench::Quantile(periods, 0.5);
    f->*p99 = bench::Quantile(periods, 0.99);
    if (floorP50)
        f->*floorP50 = bench::LatencyFloorMs(periods, 0.5);
    if (floorP99)
        f->*floorP99 = bench::LatencyFloorMs(periods, 0.99);
}

// How late each report of a timed run's window reached the screen, and of
// that the part from its sending to its hand-over, where asked.
std::vector<double> LatenciesMs(const Child& run, int32_t rate, std::vector<double>* handOvers) {
    int64_t windowEnd = run.toNs - tailNs;
    std::vector<int64_t> sent = bench::SentOnSchedule(run.reports, rate);
    for (size_t i = 0; handOvers && i < run.reports.size(); ++i)
        if (sent[i] >= run.fromNs && sent[i] < windowEnd)
            handOvers->push_back(static_cast<double>(run.reports[i].ns - sent[i]) / 1e6);
    return bench::LatencyToScreenMs(run.reports, sent, run.lines, run.fromNs, windowEnd);
}

// The display thread's CPU microseconds a line written.
double CpuPerLineUs(const Child& run) {
    return bench::Ratio(run.mainThreadCpuSeconds * 1e6, static_cast<double>(run.linesInWindow));
}

// The share of the reports in a timed run's window that a line showed, and
// the rate the board really sent them at.
void Shown(const Child& run, double* share, double* rate) {
    int64_t end = run.toNs - tailNs;
    bench::Matching matched = bench::MatchReports(run.reports, run.lines, run.fromNs, end);
    *share = matched.reports ? static_cast<double>(matched.shown) / static_cast<double>(matched.reports) : 0;
    *rate = static_cast<double>(matched.reports) / (static_cast<double>(end - run.fromNs) / 1e9);
}

int Usage(FILE* to) {
    std::fputs("usage: weigh-bench [--seconds N] [--json] [--plot FILE.svg] [--alone]\n"
               "Runs the weighing console against an instrumented simulated board, N seconds (default 10)\n"
               "of steady display a run, beside loops of its own 1 ms sleep, the floors it is judged\n"
               "against; prints a table, or one JSON object; --plot draws the latency beside its floor;\n"
               "--alone runs the judged runs again without their floors and compares.\n",
               to);
    return to == stdout ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--child") == 0)
        return ChildMain(argc, argv);
    double seconds = 10;
    bool json = false, alone = false;
    const char* plot = nullptr;
    for (int i = 1; i < argc; ++i) {
        std::string_view option = argv[i];
        char* end = nullptr;
        if (option == "--json") {
            json = true;
        } else if (option == "--alone") {
            alone = true;
        } else if (option == "--seconds" && i + 1 < argc) {
            seconds = std::strtod(argv[++i], &end);
            if (*end != '\0' || !(seconds >= 0.5 && seconds <= 3600))
                return Usage(stderr);
        } else if (option == "--plot" && i + 1 < argc) {
            plot = argv[++i];
        } else {
            return Usage(option == "--help" || option == "-h" ? stdout : stderr);
        }
    }

    using bench::minSamples, bench::Quantile, bench::Ratio;
    bench::Figures figures;
    figures.seconds = seconds;
    figures.loadAverage = FirstNumber("/proc/loadavg", NAN);
    // The floors run beside the judged runs, over the same window, so that
    // a stall of the host falls on the program and its floors alike; the
    // latency's floor comes from the judged run's own passes. A board of
    // 1000 reports a second gives minSamples timed reports in 5 s.
    const RunPlan latencyPlan{"timed", 1000, 1, seconds, minSamples + 2, minSamples + 1000 * tailNs / 1000000000 + 20};
    const RunPlan steadyPlan{"plain", 100, 0, seconds}, filePlan{"plain", 100, 0, seconds, 0, 0, true};
    const RunPlan bare{"bare", 0, 0, seconds}, bareTimed{"bare", 0, 0, seconds, minSamples + 2},
        line{"line", 0, 0, seconds};
    Children at1000, steady, filed, slack, at100, flat;
    if (!Run("board at 1000 reports a second: latency, pass period; the floors beside", {latencyPlan, bareTimed, line},
             &at1000) ||
        !Run("steady display, nothing watched: CPU time and memory; the floors beside", {steadyPlan, bare, line},
             &steady) ||
        !Run("steady display into a file: lines a second; the bare loop beside", {filePlan, bare}, &filed) ||
        !Run("the line loop, default timer slack", {{"slack", 0, 0, std::max(0.1, seconds / 5), minSamples + 2}},
             &slack) ||
        // Not judged; the shown share needs fewer seconds.
        !Run("board at 100 reports a second: reports shown", {{"timed", 100, 10, std::max(0.5, seconds / 2)}},
             &at100) ||
        !Run("board as fast as reads come: the reader's ceiling", {{"counted", 0, 0, std::min(seconds, 3.0)}}, &flat))
        return 1;
    figures.loadAverageEnd = FirstNumber("/proc/loadavg", NAN);

    using F = bench::Figures;
    PeriodFigures(&figures, WindowPeriodsMs(*at1000[1]), &F::sleepPeriods, &F::sleepPeriodMedianMs,
                  &F::sleepPeriodP99Ms, &F::bareFloorP50Ms, &F::bareFloorP99Ms);
    figures.lineLoopPeriodMedianMs = Quantile(WindowPeriodsMs(*at1000[2]), 0.5);
    PeriodFigures(&figures, WindowPeriodsMs(*slack[0]), &F::slackPeriods, &F::slackPeriodMedianMs,
                  &F::slackPeriodP99Ms);
    figures.slackCoreShare = slack[0]->CoreShare();

    std::vector<double> handOvers, latencies = LatenciesMs(*at1000[0], latencyPlan.rate, &handOvers);
    figures.latencyP50Ms = Quantile(latencies, 0.5);
    figures.latencyP99Ms = Quantile(latencies, 0.99);
    figures.latencyMaxMs = Quantile(latencies, 1.0);
    figures.handOverP50Ms = Quantile(handOvers, 0.5);
    figures.handOverP99Ms = Quantile(handOvers, 0.99);
    figures.latencySamples = static_cast<double>(latencies.size());
    Shown(*at1000[0], &figures.shownShare1000Hz, &figures.boardRate1000Hz);
    // The latency floor of the passes is that of a loop that woke exactly
    // when this display woke: a stall that lengthens a pass raises it as it
    // delays the reports that wait.
    std::vector<double> passes = WindowPeriodsMs(*at1000[0]);
    PeriodFigures(&figures, passes, &F::passPeriods, &F::passPeriodMedianMs, &F::passPeriodP99Ms, &F::latencyFloorP50Ms,
                  &F::latencyFloorP99Ms);
    figures.latencyP99ToFloor = Ratio(figures.latencyP99Ms, figures.latencyFloorP99Ms);
    figures.passToSleepRatio = Ratio(figures.passPeriodMedianMs, figures.sleepPeriodMedianMs);
    figures.passToLineLoopRatio = Ratio(figures.passPeriodMedianMs, figures.lineLoopPeriodMedianMs);

    const Child &program = *steady[0], &bareBeside = *steady[1], &lineBeside = *steady[2];
    figures.cpuCoreShare = program.CoreShare();
    figures.displayThreadCoreShare = program.mainThreadCpuSeconds / program.WindowSeconds();
    figures.sleepCoreShare = bareBeside.CoreShare();
    figures.lineLoopCoreShare = lineBeside.CoreShare();
    figures.cpuToBareLoop = Ratio(figures.cpuCoreShare, figures.sleepCoreShare);
    figures.displayCpuToBareLoop = Ratio(figures.displayThreadCoreShare, figures.sleepCoreShare);
    // A pass and a wake-up each form and write one line.
    figures.displayCpuPerPassUs = CpuPerLineUs(program);
    figures.lineLoopCpuPerWakeUpUs =
        Ratio(lineBeside.cpuSeconds * 1e6, static_cast<double>(WindowPeriodsMs(lineBeside).size()));
    figures.displayCpuToLineLoop = Ratio(figures.displayCpuPerPassUs, figures.lineLoopCpuPerWakeUpUs);
    figures.peakRssKib = program.peakRssKib;

    figures.lineRatePerS = static_cast<double>(filed[0]->linesInWindow) / filed[0]->WindowSeconds();
    figures.bareWakeUpsPerS = static_cast<double>(WindowPeriodsMs(*filed[1]).size()) / filed[1]->WindowSeconds();
    figures.lineRateToBareLoop = Ratio(figures.lineRatePerS, figures.bareWakeUpsPerS);

    Shown(*at100[0], &figures.shownShare100Hz, &figures.boardRate100Hz);
    figures.readerMaxReportsPerS = static_cast<double>(flat[0]->reportsInWindow) / flat[0]->WindowSeconds();

    // The judged runs again without their floors: what the floors beside
    // them cost the program, on standard error.
    Children timed, plain;
    if (alone && !(Run("alone: board at 1000 reports a second", {latencyPlan}, &timed) &&
                   Run("alone: steady display, nothing watched", {steadyPlan}, &plain)))
        return 1;
    if (alone)
        std::fprintf(stderr,
                     "weigh-bench: alone / beside the floors: pass period median %.4f / %.4f ms, latency p50 %.4f / "
                     "%.4f ms, the display thread's CPU a pass %.3f / %.3f us\n",
                     Quantile(WindowPeriodsMs(*timed[0]), 0.5), figures.passPeriodMedianMs,
                     Quantile(LatenciesMs(*timed[0], latencyPlan.rate, nullptr), 0.5), figures.latencyP50Ms,
                     CpuPerLineUs(*plain[0]), figures.displayCpuPerPassUs);
    FILE* file = plot ? std::fopen(plot, "w") : nullptr;
    if (plot && (!file || std::fputs(bench::PlotSvg(latencies, passes).c_str(), file) < 0 || std::fclose(file) != 0)) {
        std::perror(plot);
        return 1;
    }
    std::fputs(json ? bench::FormatJson(figures).c_str() : bench::FormatTable(figures).c_str(), stdout);
    return 0;
}
