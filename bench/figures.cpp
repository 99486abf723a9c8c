#include "figures.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "console/reading.h"
#include "sim/answer.h"
#include "sim/report.h"

namespace bench {

void LoadsForSequence(int64_t sequence, int32_t loads[4]) {
    loads[0] = static_cast<int32_t>(sequence & 0xFFFF);
    loads[1] = static_cast<int32_t>((sequence >> 16) & 0xFFFF);
    loads[2] = sequenceMark;
    loads[3] = sequenceMark;
}

// The sequence in the loads of a report or a line: its low and high words
// in the right-hand loads, the mark in both left-hand ones.
static int64_t SequenceOfLoads(int64_t rf, int64_t rb, int64_t lf, int64_t lb) {
    if (lf != sequenceMark || lb != sequenceMark || rf < 0 || rf > 0xFFFF || rb < 0 || rb > 0xFFFF)
        return -1;
    int64_t sequence = rb << 16 | rf;
    return sequence == 0 ? -1 : sequence;
}

int64_t SequenceOfReport(const uint8_t* bytes, size_t length) {
    int32_t loads[4];
    if (length == 0 || bytes[0] != weighingMode || !sim::LoadsOfReport(bytes, length, loads))
        return -1;
    return SequenceOfLoads(loads[0], loads[1], loads[2], loads[3]);
}

int64_t SequenceOfLine(std::string_view line) {
    Reading reading;
    if (!ParseReading(line, &reading))
        return -1;
    return SequenceOfLoads(reading.Mrf, reading.Mrb, reading.Mlf, reading.Mlb);
}

std::string SequencedScript(int32_t rate, int32_t periodMs, int64_t lengthMs) {
    std::string text = "rate " + std::to_string(rate) + "\n";
    int64_t stretches = (lengthMs + periodMs - 1) / periodMs;
    for (int64_t k = 0; k < stretches; ++k) {
        int32_t loads[4];
        LoadsForSequence(k + 1, loads);
        char line[96];
        std::snprintf(line, sizeof line, "board %d 00 00 %d %d %d %d\n", periodMs, loads[0], loads[1], loads[2],
                      loads[3]);
        text += line;
    }
    return text;
}

std::string SteadyScript(int32_t rate) {
    return "rate " + std::to_string(rate) + "\nboard 1000 00 00 1480 1523 1502 1461\n";
}

double Quantile(std::vector<double> values, double q) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    double rank = std::ceil(q * static_cast<double>(values.size()));
    size_t index = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
    return values[std::min(index, values.size() - 1)];
}

std::vector<double> PeriodsMs(const std::vector<Event>& events) {
    std::vector<double> periods;
    for (size_t i = 1; i < events.size(); ++i)
        periods.push_back(static_cast<double>(events[i].ns - events[i - 1].ns) / 1e6);
    return periods;
}

// Lines come in the order they were written, so the first line that shows
// a number is the first one met with it.
Matching MatchReports(const std::vector<Event>& reports, const std::vector<Event>& lines, int64_t fromNs,
                      int64_t toNs) {
    std::vector<int64_t> firstShown;
    for (const Event& line : lines) {
        if (line.sequence <= 0)
            continue;
        size_t index = static_cast<size_t>(line.sequence);
        if (index >= firstShown.size())
            firstShown.resize(index + 1, -1);
        if (firstShown[index] < 0)
            firstShown[index] = line.ns;
    }
    Matching matching;
    for (const Event& report : reports) {
        if (report.ns < fromNs || report.ns >= toNs || report.sequence <= 0)
            continue;
        ++matching.reports;
        // A line written before the report came cannot show it.
        size_t index = static_cast<size_t>(report.sequence);
        if (index < firstShown.size() && firstShown[index] >= report.ns)
            ++matching.shown;
    }
    return matching;
}

std::vector<int64_t> SentOnSchedule(const std::vector<Event>& handed, int32_t rate) {
    std::vector<int64_t> sent;
    sent.reserve(handed.size());
    for (const Event& report : handed) {
        int64_t at = report.ns;
        if (!sent.empty())
            at = std::min(sim::ReportSentNs(sim::NextReportDueNs(sent.back(), rate), report.ns, rate), report.ns);
        sent.push_back(at);
    }
    return sent;
}

// Both the reports' hand-overs and their numbers rise, so the line that
// answers one report answers no earlier report's: one pass over the lines.
std::vector<double> LatencyToScreenMs(const std::vector<Event>& reports, const std::vector<int64_t>& sentNs,
                                      const std::vector<Event>& lines, int64_t fromNs, int64_t toNs) {
    std::vector<double> latencies;
    size_t line = 0;
    for (size_t i = 0; i < reports.size() && i < sentNs.size(); ++i) {
        const Event& report = reports[i];
        if (report.sequence <= 0)
            continue;
        while (line < lines.size() && (lines[line].ns < report.ns || lines[line].sequence < report.sequence))
            ++line;
        if (line == lines.size())
            break;
        if (sentNs[i] >= fromNs && sentNs[i] < toNs)
            latencies.push_back(static_cast<double>(lines[line].ns - sentNs[i]) / 1e6);
    }
    return latencies;
}

// The share of waits from a random moment to the next wake-up that end
// within x ms: the periods up to x whole, and x of each longer one, over
// them all. Periods of no length are none.
static double FloorShare(const std::vector<double>& periodsMs, double x) {
    double within = 0, total = 0;
    for (double period : periodsMs)
        if (period > 0 && std::isfinite(period)) {
            within += std::min(x, period);
            total += period;
        }
    return total > 0 ? within / total : 0;
}

// The share rises from 0 at no wait to 1 at the longest period: halve the
// span it reaches q in until it is exact to the double.
double LatencyFloorMs(const std::vector<double>& periodsMs, double q) {
    double low = 0, high = 0;
    for (double period : periodsMs)
        high = std::isfinite(period) ? std::max(high, period) : high;
    for (int step = 0; step < 64; ++step)
        (FloorShare(periodsMs, (low + high) / 2) < q ? low : high) = (low + high) / 2;
    return high;
}

double Ratio(double a, double b) {
    if (!(b > 0) || !std::isfinite(a) || !std::isfinite(b))
        return std::nan("");
    return a / b;
}

// The value with these decimals and its unit, or `none` where it is not finite.
static std::string Number(double value, int decimals, const char* unit, const char* none) {
    if (!std::isfinite(value))
        return none;
    char text[64];
    std::snprintf(text, sizeof text, "%.*f%s", decimals, value, unit);
    return text;
}

const std::vector<JsonField> jsonFields = {
    {"latency_p50_ms", &Figures::latencyP50Ms, 4},
    {"latency_p99_ms", &Figures::latencyP99Ms, 4},
    {"latency_max_ms", &Figures::latencyMaxMs, 4},
    {"pass_period_median_ms", &Figures::passPeriodMedianMs, 4},
    {"pass_period_p99_ms", &Figures::passPeriodP99Ms, 4},
    {"sleep_period_median_ms", &Figures::sleepPeriodMedianMs, 4},
    {"pass_to_sleep_ratio", &Figures::passToSleepRatio, 4},
    {"shown_share_100hz", &Figures::shownShare100Hz, 4},
    {"shown_share_1000hz", &Figures::shownShare1000Hz, 4},
    {"reader_max_reports_per_s", &Figures::readerMaxReportsPerS, 0},
    {"cpu_core_share", &Figures::cpuCoreShare, 4},
    {"peak_rss_kib", &Figures::peakRssKib, 0},
    {"sleep_period_p99_ms", &Figures::sleepPeriodP99Ms, 4},
    {"latency_floor_p50_ms", &Figures::latencyFloorP50Ms, 4},
    {"latency_floor_p99_ms", &Figures::latencyFloorP99Ms, 4},
    {"latency_p99_to_floor", &Figures::latencyP99ToFloor, 4},
    {"display_cpu_core_share", &Figures::displayThreadCoreShare, 4},
    {"bare_loop_cpu_core_share", &Figures::sleepCoreShare, 4},
    {"cpu_to_bare_loop", &Figures::cpuToBareLoop, 4},
    {"display_cpu_to_bare_loop", &Figures::displayCpuToBareLoop, 4},
    {"load_average_start", &Figures::loadAverage, 2},
    {"load_average_end", &Figures::loadAverageEnd, 2},
    {"latency_samples", &Figures::latencySamples, 0},
    {"pass_periods", &Figures::passPeriods, 0},
    {"sleep_periods", &Figures::sleepPeriods, 0},
    {"line_loop_cpu_core_share", &Figures::lineLoopCoreShare, 4},
    {"line_loop_period_median_ms", &Figures::lineLoopPeriodMedianMs, 4},
    {"display_cpu_to_line_loop", &Figures::displayCpuToLineLoop, 4},
    {"pass_to_line_loop_ratio", &Figures::passToLineLoopRatio, 4},
    {"default_slack_line_loop_period_median_ms", &Figures::slackPeriodMedianMs, 4},
    {"default_slack_line_loop_period_p99_ms", &Figures::slackPeriodP99Ms, 4},
    {"default_slack_line_loop_periods", &Figures::slackPeriods, 0},
    {"default_slack_line_loop_cpu_core_share", &Figures::slackCoreShare, 4},
    {"hand_over_p50_ms", &Figures::handOverP50Ms, 4},
    {"hand_over_p99_ms", &Figures::handOverP99Ms, 4},
    {"bare_loop_latency_floor_p50_ms", &Figures::bareFloorP50Ms, 4},
    {"bare_loop_latency_floor_p99_ms", &Figures::bareFloorP99Ms, 4},
    {"display_cpu_per_pass_us", &Figures::displayCpuPerPassUs, 3},
    {"line_loop_cpu_per_wake_up_us", &Figures::lineLoopCpuPerWakeUpUs, 3},
    {"line_rate_per_s", &Figures::lineRatePerS, 1},
    {"bare_loop_wake_ups_per_s", &Figures::bareWakeUpsPerS, 1},
    {"line_rate_to_bare_loop", &Figures::lineRateToBareLoop, 4},
};

const char* Verdict(const Target& target, double value) {
    bool met = std::isfinite(value) && (target.atLeast ? value >= target.limit : value <= target.limit);
    return met ? "met" : "MISSED";
}

// The limit with two decimals where it has a fraction, else whole, its
// thousands grouped with grouping (none when empty).
static std::string LimitText(double limit, const char* grouping) {
    char digits[64];
    bool whole = limit == std::floor(limit);
    std::snprintf(digits, sizeof digits, whole ? "%.0f" : "%.2f", limit);
    std::string text = digits;
    if (whole && *grouping)
        for (size_t at = text.size(); at > 3; at -= 3)
            text.insert(at - 3, grouping);
    return text;
}

std::string TargetText(const Target& target) {
    return std::string(target.atLeast ? ">= " : "<= ") + LimitText(target.limit, "") + target.unit;
}

std::string TargetDocText(const Target& target) {
    return std::string(target.atLeast ? "\u2265 " : "\u2264 ") + LimitText(target.limit, ",") + target.unit;
}

// A row of the table: a figure, the floor it is set against and their
// ratio, in one unit; a target judges the ratio where the row has one, else
// the figure. A row without a figure is a heading.
struct Unit {
    const char* suffix;
    int decimals;
    double scale;
};
constexpr Unit ms{" ms", 3, 1}, us{" us", 2, 1}, share{" %", 2, 100}, shown{" %", 1, 100}, perS{" /s", 1, 1},
    count{"", 0, 1}, kib{" KiB", 0, 1};
struct Row {
    const char* name;
    Unit unit;
    Figure value, floor = nullptr, ratio = nullptr;
    const Target* target = nullptr;
    Figure Judged() const { return ratio ? ratio : value; }
};
using F = Figures;
const Row rows[] = {
    {"report-to-line latency p50", ms, &F::latencyP50Ms, &F::latencyFloorP50Ms},
    {"report-to-line latency p99", ms, &F::latencyP99Ms, &F::latencyFloorP99Ms, &F::latencyP99ToFloor, &latencyToFloor},
    {"  to the bare loop's floor p99", ms, &F::latencyP99Ms, &F::bareFloorP99Ms},
    {"report-to-line latency max", ms, &F::latencyMaxMs},
    {"  of it, sent to handed over p50", ms, &F::handOverP50Ms},
    {"  of it, sent to handed over p99", ms, &F::handOverP99Ms},
    {"  reports timed", count, &F::latencySamples, nullptr, nullptr, &samples},
    {"display pass period median", ms, &F::passPeriodMedianMs, &F::lineLoopPeriodMedianMs, &F::passToLineLoopRatio,
     &passToLine},
    {"  to the bare loop", ms, &F::passPeriodMedianMs, &F::sleepPeriodMedianMs, &F::passToSleepRatio},
    {"display pass period p99", ms, &F::passPeriodP99Ms, &F::sleepPeriodP99Ms},
    {"  passes timed", count, &F::passPeriods, nullptr, nullptr, &samples},
    {"  bare loop periods timed", count, &F::sleepPeriods, nullptr, nullptr, &samples},
    {"CPU, share of one core (pty)", share, &F::cpuCoreShare, &F::sleepCoreShare, &F::cpuToBareLoop},
    {"  of which the display thread", share, &F::displayThreadCoreShare, &F::sleepCoreShare, &F::displayCpuToBareLoop},
    {"  a pass, to a line loop wake-up", us, &F::displayCpuPerPassUs, &F::lineLoopCpuPerWakeUpUs,
     &F::displayCpuToLineLoop, &displayCpuToLine},
    {"lines a second into a file", perS, &F::lineRatePerS, &F::bareWakeUpsPerS, &F::lineRateToBareLoop, &lineRate},
    {"line loop, default timer slack, to the line loop", ms, nullptr},
    {"  period median", ms, &F::slackPeriodMedianMs, &F::lineLoopPeriodMedianMs},
    {"  period p99", ms, &F::slackPeriodP99Ms},
    {"  CPU, share of one core", share, &F::slackCoreShare, &F::lineLoopCoreShare},
    {"reports shown, board at 100/s", shown, &F::shownShare100Hz},
    {"  board's actual rate", perS, &F::boardRate100Hz},
    {"reports shown, board at 1000/s", shown, &F::shownShare1000Hz},
    {"  board's actual rate", perS, &F::boardRate1000Hz},
    {"reader's most reports a second", {" /s", 0, 1}, &F::readerMaxReportsPerS, nullptr, nullptr, &readerMin},
    {"peak RSS", kib, &F::peakRssKib},
};

std::string FormatJson(const Figures& f) {
    std::string text = "{", verdicts;
    for (const JsonField& field : jsonFields)
        text += std::string(text.size() > 1 ? ", \"" : "\"") + field.key +
                "\": " + Number(f.*field.figure, field.decimals, "", "null");
    for (const Row& row : rows)
        for (const JsonField& field : jsonFields)
            if (row.target && field.figure == row.Judged())
                verdicts += std::string(verdicts.empty() ? "\"" : ", \"") + field.key +
                            "\": " + (Verdict(*row.target, f.*field.figure)[0] == 'm' ? "true" : "false");
    return text + ", \"verdicts\": {" + verdicts + "}}\n";
}

std::string FormatTable(const Figures& f) {
    char line[512];
    std::snprintf(line, sizeof line,
                  "weigh-bench: %g s of steady display a run; load average %.2f at start, %.2f at end\n"
                  "floors over the same moments: the latency floor of the judged run's own passes, and\n"
                  "beside the program, with its sleep, a bare 1 ms sleep loop (%.0f periods) and the\n"
                  "line loop, which also forms and writes a line to the terminal at each wake-up\n",
                  f.seconds, f.loadAverage, f.loadAverageEnd, f.sleepPeriods);
    std::string text = line;
    auto add = [&](const char* name, const std::string& value, const std::string& floor, const std::string& ratio,
                   const std::string& target, const char* verdict) {
        std::snprintf(line, sizeof line, "%-34s %13s %13s %7s   %-12s %s", name, value.c_str(), floor.c_str(),
                      ratio.c_str(), target.c_str(), verdict);
        text.append(line, std::string_view(line).find_last_not_of(' ') + 1) += '\n';
    };
    add("", "program", "floor", "ratio", "target", "");
    for (const Row& row : rows) {
        auto cell = [&](Figure figure) {
            return figure ? Number(f.*figure * row.unit.scale, row.unit.decimals, row.unit.suffix, "-") : "";
        };
        double ratio = row.ratio ? f.*row.ratio : row.floor ? Ratio(f.*row.value, f.*row.floor) : NAN;
        add(row.name, cell(row.value), cell(row.floor), row.floor ? Number(ratio, 3, "", "-") : "",
            row.target ? TargetText(*row.target) : "", row.target ? Verdict(*row.target, f.*row.Judged()) : "");
    }
    return text;
}

std::string PlotSvg(const std::vector<double>& latenciesMs, const std::vector<double>& passPeriodsMs) {
    const double width = 640, height = 400, left = 60, right = 20, top = 20, bottom = 60;
    std::vector<double> sorted = latenciesMs;
    std::sort(sorted.begin(), sorted.end());
    const double latency[2] = {Quantile(sorted, 0.5), Quantile(sorted, 0.99)};
    const double floor[2] = {LatencyFloorMs(passPeriodsMs, 0.5), LatencyFloorMs(passPeriodsMs, 0.99)};
    double xMax = 1.25 * std::max({latency[1], floor[1], 0.1});
    double step = 0.1;  // a tick every 1, 2 or 5 times a power of ten, at most ten of them
    for (int k = 0; xMax / step > 10; ++k)
        step *= k % 3 == 1 ? 2.5 : 2;
    auto x = [&](double ms) { return left + std::min(ms, xMax) / xMax * (width - left - right); };
    auto y = [&](double share) { return top + (1 - share) * (height - top - bottom); };
    std::string svg;
    auto add = [&](const char* format, auto... values) {
        char text[512];
        std::snprintf(text, sizeof text, format, values...);
        svg += text;
    };
    add("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" font-family=\"sans-serif\" "
        "font-size=\"12\">\n<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n",
        width, height);
    // A grid line from (x1, y1) to (x2, y2), its label at (x, y).
    const char* grid = "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#ddd\"/><text x=\"%.1f\" "
                       "y=\"%.1f\" text-anchor=\"%s\">%g</text>\n";
    for (double share = 0; share <= 1.001; share += 0.25)
        add(grid, left, y(share), width - right, y(share), left - 6, y(share) + 4, "end", share);
    for (double ms = 0; ms <= xMax + 1e-9; ms += step)
        add(grid, x(ms), top, x(ms), y(0), x(ms), y(0) + 16, "middle", ms);
    add("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">ms from a report's sending to its line (curves: the "
        "share within)</text>\n",
        (left + width - right) / 2, height - 14);
    auto latencyShare = [&](double ms) {
        double within = static_cast<double>(std::upper_bound(sorted.begin(), sorted.end(), ms) - sorted.begin());
        return within / std::max(static_cast<double>(sorted.size()), 1.0);
    };
    const struct {
        const char *id, *colour, *name;
        const double* marks;
    } curves[] = {{"latency", "#1f5fa8", "report-to-line latency", latency},
                  {"floor", "#d9730d", "the latency floor of the same passes", floor}};
    for (const auto& curve : curves) {
        bool isFloor = curve.marks == floor;
        add("<polyline id=\"%s\" fill=\"none\" stroke=\"%s\" stroke-width=\"2\" points=\"", curve.id, curve.colour);
        for (int i = 0; i <= 200; ++i) {
            double ms = xMax * i / 200;
            add("%s%.1f,%.1f", i ? " " : "", x(ms), y(isFloor ? FloorShare(passPeriodsMs, ms) : latencyShare(ms)));
        }
        svg += "\"/>\n";
        for (int q = 0; q < 2; ++q)
            add("<circle cx=\"%.1f\" cy=\"%.1f\" r=\"4\" fill=\"%s\"/><text x=\"%.1f\" y=\"%.1f\" fill=\"%s\">%s "
                "%.3f ms</text>\n",
                x(curve.marks[q]), y(q ? 0.99 : 0.5), curve.colour, x(curve.marks[q]) + 6,
                y(q ? 0.99 : 0.5) + (isFloor ? 16 : -6), curve.colour, q ? "p99" : "p50", curve.marks[q]);
        add("<text x=\"%.1f\" y=\"%.1f\" fill=\"%s\">%s</text>\n", width - right - 230, y(0.2) + (isFloor ? 18 : 0),
            curve.colour, curve.name);
    }
    svg += "</svg>\n";
    return svg;
}

}  // namespace bench
