// weigh-bench's arithmetic, kept apart from its processes so that it can be
// tested on records made up by hand: the scripts it plays, the sequence
// numbers it hides in the board's loads, the lines it reads back, and the
// figures it makes of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

// One event on the monotonic clock: a report handed over by the board or a
// line written by the program, with the sequence number it carries.
struct Event {
    int64_t ns = 0;
    int64_t sequence = 0;
};

// Sequence numbers travel in the loads: right front holds the low 16 bits,
// right back the high ones, and the left pair a fixed mark. With no zero
// point taken the line prints the raw words, so the number can be read
// back from Mrf and Mrb. Number 0 is never sent: it is the empty board.
constexpr int32_t sequenceMark = 4321;
void LoadsForSequence(int64_t sequence, int32_t loads[4]);

// The number a 0x34 report carries (bytes 3..6), or -1 for other reports.
int64_t SequenceOfReport(const uint8_t* bytes, size_t length);

// The number a line of output shows, or -1 when it shows none (a line of
// the empty board, or one that is not the program's).
int64_t SequenceOfLine(std::string_view line);

// A script whose board changes its loads every periodMs, stretch k carrying
// sequence number k + 1, at `rate` reports a second, for lengthMs in all.
std::string SequencedScript(int32_t rate, int32_t periodMs, int64_t lengthMs);

// A script of a board that holds one load at `rate` reports a second.
std::string SteadyScript(int32_t rate);

// Splits what arrives in pieces into whole lines; a line may span pieces.
struct LineSplitter {
    std::string pending;
    // Calls back with each complete line (without its end) in data.
    template <typename F>
    void Feed(std::string_view data, F&& onLine) {
        size_t start = 0;
        for (size_t i = 0; i < data.size(); ++i) {
            if (data[i] != '\n')
                continue;
            pending.append(data.substr(start, i - start));
            onLine(std::string_view(pending));
            pending.clear();
            start = i + 1;
        }
        pending.append(data.substr(start));
    }
};

// The q-quantile (0..1) of the values by nearest rank; 0 for none.
double Quantile(std::vector<double> values, double q);

// Intervals between successive events, in milliseconds.
std::vector<double> PeriodsMs(const std::vector<Event>& events);

// Reports against the lines that show them, counted over the reports
// handed over in [fromNs, toNs).
struct Matching {
    int64_t reports = 0;          // reports in the window
    int64_t shown = 0;            // of those, shown on at least one line
    std::vector<double> latencyMs;  // report handed over to its first line, per shown report
};
Matching MatchReports(const std::vector<Event>& reports, const std::vector<Event>& lines, int64_t fromNs,
                      int64_t toNs);

// Everything weigh-bench measures. The first twelve are its JSON.
struct Figures {
    double latencyP50Ms = 0, latencyP99Ms = 0, latencyMaxMs = 0;
    double passPeriodMedianMs = 0, passPeriodP99Ms = 0;
    double sleepPeriodMedianMs = 0, passToSleepRatio = 0;
    double shownShare100Hz = 0, shownShare1000Hz = 0;
    double readerMaxReportsPerS = 0;
    double cpuCoreShare = 0;
    double peakRssKib = 0;
    // Context for the table.
    double seconds = 0;
    double boardRate100Hz = 0, boardRate1000Hz = 0;  // reports a second the board actually sent
    double sleepPeriodP99Ms = 0;
    double sleepCoreShare = 0;  // CPU of the bare sleep loop, as a share of one core
    double displayThreadCoreShare = 0;  // of cpuCoreShare, the display loop's thread
    int64_t latencySamples = 0;
    double loadAverage = -1, loadAverageEnd = -1;  // 1-minute load average at start and end
};

std::string FormatJson(const Figures& figures);
std::string FormatTable(const Figures& figures);

}  // namespace bench
