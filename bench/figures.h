// weigh-bench's arithmetic, apart from its processes so that it can be
// tested on records made up by hand.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

// A report handed over by the board or a line written by the program, on the
// monotonic clock, with the sequence number it carries.
struct Event {
    int64_t ns = 0, sequence = 0;
};

// Sequence numbers travel in the loads: right front holds the low 16 bits,
// right back the high ones, and the left pair a fixed mark. With no zero
// point taken the line prints the raw words, so the number can be read
// back from Mrf and Mrb. Number 0 is never sent: it is the empty board.
constexpr int32_t sequenceMark = 4321;
void LoadsForSequence(int64_t sequence, int32_t loads[4]);

// The number a 0x34 report carries (bytes 3..6), or -1 for other reports.
int64_t SequenceOfReport(const uint8_t* bytes, size_t length);

// The number a line of output shows, or -1 when it shows none.
int64_t SequenceOfLine(std::string_view line);

// A board that changes its loads every periodMs, stretch k carrying number
// k + 1, at `rate` reports a second, for lengthMs in all.
std::string SequencedScript(int32_t rate, int32_t periodMs, int64_t lengthMs);

// A board that holds one load at `rate` reports a second.
std::string SteadyScript(int32_t rate);

// The q-quantile (0..1) of the values by nearest rank; 0 for none.
double Quantile(std::vector<double> values, double q);

std::vector<double> PeriodsMs(const std::vector<Event>& events);

// Of the reports handed over in [fromNs, toNs), how many a line written
// after the hand-over showed.
struct Matching {
    int64_t reports = 0, shown = 0;
};
Matching MatchReports(const std::vector<Event>& reports, const std::vector<Event>& lines, int64_t fromNs, int64_t toNs);

// When the simulated board sent each of these reports, rebuilt from their
// hand-overs with the board's own rule (sim/answer.h): a report every 1/rate
// s from the first, afresh from a hand-over a whole period or more late. The
// note of a hand-over comes a little after the board's clock read, so one
// that seems early counts as sent at its hand-over, and the count goes on
// from there.
std::vector<int64_t> SentOnSchedule(const std::vector<Event>& handed, int32_t rate);

// How late each report sent in [fromNs, toNs) reached the screen: from its
// sending (SentOnSchedule's) to the first line written after its hand-over
// that shows it or a later report. A report replaced before any line showed
// it has still reached the screen with its successor's line.
std::vector<double> LatencyToScreenMs(const std::vector<Event>& reports, const std::vector<int64_t>& sentNs,
                                      const std::vector<Event>& lines, int64_t fromNs, int64_t toNs);

// The latency floor a loop waking after each of these periods sets: the
// q-quantile of the wait from a moment taken at random to its next wake-up.
// A moment falls in a period with a chance in proportion to its length, so
// a long period counts with all of it, which a plain p99 of the periods
// would hide. 0 for no periods.
double LatencyFloorMs(const std::vector<double>& periodsMs, double q);

// a / b, or NaN when it has no meaning (b not above 0, or either not finite).
double Ratio(double a, double b);

// What the program is held to, against floors measured over the same
// moments: the figure as docs/performance.md's table of targets names it,
// which side of the limit meets it, the limit and its unit. The doc's table
// is checked against this one (figures_test.cpp).
struct Target {
    const char* figure;
    bool atLeast;  // met at or above the limit; else at or below it
    double limit;
    const char* unit;
};
constexpr Target latencyToFloor = {"report-to-line latency p99 / the latency floor of the same run's passes, p99",
                                   false, 1.20, ""};
// With 5,000 samples a p99 is the 50th longest, which one or two stalls do
// not move far.
constexpr Target samples = {"reports the latency rests on; periods the pass period and the floor rest on, each", true,
                            5000, ""};
constexpr Target passToLine = {"display pass period median / the line loop's period median, side by side", false, 1.03,
                               ""};
constexpr Target displayCpuToLine = {"the display thread's CPU a pass / the line loop's CPU a wake-up, side by side",
                                     false, 1.25, ""};
constexpr Target lineRate = {"lines a second into a file / the bare loop's wake-ups a second, side by side", true, 0.97,
                             ""};
constexpr Target readerMin = {"the reader's most reports a second", true, 10000, " /s"};
constexpr Target targets[] = {latencyToFloor, samples, passToLine, displayCpuToLine, lineRate, readerMin};
constexpr int64_t minSamples = static_cast<int64_t>(samples.limit);

// "met" when value is a number on the target's side of its limit, else "MISSED".
const char* Verdict(const Target& target, double value);
// The target as the table writes it ("<= 1.20", ">= 10000 /s") and as the
// doc does ("≤ 1.20", "≥ 10,000 /s").
std::string TargetText(const Target& target);
std::string TargetDocText(const Target& target);

// Everything weigh-bench measures; counts are doubles too, so that the JSON
// and the table name every figure alike, by its member. NaN is unknown.
struct Figures {
    // The board at 1000 reports a second: the latency, of it the part from
    // sending to hand-over, and the display's passes. The latency floor is
    // that of the judged run's own passes; the bare loop's is shown beside it.
    double latencyP50Ms = 0, latencyP99Ms = 0, latencyMaxMs = 0, handOverP50Ms = 0, handOverP99Ms = 0;
    double latencySamples = 0, latencyFloorP50Ms = 0, latencyFloorP99Ms = 0, latencyP99ToFloor = 0;
    double passPeriods = 0, passPeriodMedianMs = 0, passPeriodP99Ms = 0, passToSleepRatio = 0, passToLineLoopRatio = 0;
    // The bare sleep loop and the line loop beside the program, and the program against them.
    double sleepPeriods = 0, sleepPeriodMedianMs = 0, sleepPeriodP99Ms = 0, bareFloorP50Ms = 0, bareFloorP99Ms = 0;
    double sleepCoreShare = 0, lineLoopCoreShare = 0, lineLoopPeriodMedianMs = 0, lineLoopCpuPerWakeUpUs = 0;
    double cpuCoreShare = 0, displayThreadCoreShare = 0, cpuToBareLoop = 0, displayCpuToBareLoop = 0;
    double displayCpuPerPassUs = 0, displayCpuToLineLoop = 0, peakRssKib = 0;
    // Lines a second written into a file, and the bare loop's wake-ups beside them.
    double lineRatePerS = 0, bareWakeUpsPerS = 0, lineRateToBareLoop = 0;
    // The line loop with the system's default timer slack.
    double slackPeriods = 0, slackPeriodMedianMs = 0, slackPeriodP99Ms = 0, slackCoreShare = 0;
    double shownShare100Hz = 0, shownShare1000Hz = 0, readerMaxReportsPerS = 0;
    double loadAverage = NAN, loadAverageEnd = NAN;  // 1-minute, at start and end
    // The table's alone: the seconds a run, the rates the board really sent at.
    double seconds = 0, boardRate100Hz = 0, boardRate1000Hz = 0;
};
using Figure = double Figures::*;

// The JSON object's members in order: each key, its figure, its decimals.
struct JsonField {
    const char* key;
    Figure figure;
    int decimals;
};
extern const std::vector<JsonField> jsonFields;

// One JSON object of every figure but the table's own, each a number or,
// where it is none (infinite, NaN), null; last, "verdicts": each target's
// figure's key, true where the target is met, in the table's order.
std::string FormatJson(const Figures& figures);
std::string FormatTable(const Figures& figures);

// An SVG chart of two cumulative curves: the report-to-line latencies' and
// that of the latency floor the passes' periods set, p50 and p99 marked.
std::string PlotSvg(const std::vector<double>& latenciesMs, const std::vector<double>& passPeriodsMs);

}  // namespace bench
