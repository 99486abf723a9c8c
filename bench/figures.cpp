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

double LatencyFloorMs(const std::vector<double>& periodsMs, double q) {
    std::vector<double> periods;
    for (double period : periodsMs)
        if (period > 0 && std::isfinite(period))
            periods.push_back(period);
    if (periods.empty())
        return 0;
    std::sort(periods.begin(), periods.end());
    double total = 0;
    for (double period : periods)
        total += period;
    // The share of waits up to x is (the periods up to x, whole, and x of
    // each longer one) / total: rising in straight pieces between sorted
    // periods. Find the piece where it reaches q and solve it there.
    double target = std::clamp(q, 0.0, 1.0) * total;
    double below = 0;  // the periods before k, whole
    size_t n = periods.size();
    for (size_t k = 0; k < n; ++k) {
        double x = (target - below) / static_cast<double>(n - k);
        if (x <= periods[k])
            return std::max(x, 0.0);
        below += periods[k];
    }
    return periods.back();
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
    {"latency_p50_ms", [](const Figures& f) { return f.latencyP50Ms; }, 4},
    {"latency_p99_ms", [](const Figures& f) { return f.latencyP99Ms; }, 4},
    {"latency_max_ms", [](const Figures& f) { return f.latencyMaxMs; }, 4},
    {"pass_period_median_ms", [](const Figures& f) { return f.passPeriodMedianMs; }, 4},
    {"pass_period_p99_ms", [](const Figures& f) { return f.passPeriodP99Ms; }, 4},
    {"sleep_period_median_ms", [](const Figures& f) { return f.sleepPeriodMedianMs; }, 4},
    {"pass_to_sleep_ratio", [](const Figures& f) { return f.passToSleepRatio; }, 4},
    {"shown_share_100hz", [](const Figures& f) { return f.shownShare100Hz; }, 4},
    {"shown_share_1000hz", [](const Figures& f) { return f.shownShare1000Hz; }, 4},
    {"reader_max_reports_per_s", [](const Figures& f) { return f.readerMaxReportsPerS; }, 0},
    {"cpu_core_share", [](const Figures& f) { return f.cpuCoreShare; }, 4},
    {"peak_rss_kib", [](const Figures& f) { return f.peakRssKib; }, 0},
    {"sleep_period_p99_ms", [](const Figures& f) { return f.sleepPeriodP99Ms; }, 4},
    {"latency_floor_p50_ms", [](const Figures& f) { return f.latencyFloorP50Ms; }, 4},
    {"latency_floor_p99_ms", [](const Figures& f) { return f.latencyFloorP99Ms; }, 4},
    {"latency_p99_to_floor", [](const Figures& f) { return f.latencyP99ToFloor; }, 4},
    {"display_cpu_core_share", [](const Figures& f) { return f.displayThreadCoreShare; }, 4},
    {"bare_loop_cpu_core_share", [](const Figures& f) { return f.sleepCoreShare; }, 4},
    {"cpu_to_bare_loop", [](const Figures& f) { return f.cpuToBareLoop; }, 4},
    {"display_cpu_to_bare_loop", [](const Figures& f) { return f.displayCpuToBareLoop; }, 4},
    {"load_average_start", [](const Figures& f) { return f.loadAverage >= 0 ? f.loadAverage : std::nan(""); }, 2},
    {"load_average_end", [](const Figures& f) { return f.loadAverageEnd >= 0 ? f.loadAverageEnd : std::nan(""); }, 2},
    {"latency_samples", [](const Figures& f) { return static_cast<double>(f.latencySamples); }, 0},
    {"pass_periods", [](const Figures& f) { return static_cast<double>(f.passPeriods); }, 0},
    {"sleep_periods", [](const Figures& f) { return static_cast<double>(f.sleepPeriods); }, 0},
    {"line_loop_cpu_core_share", [](const Figures& f) { return f.lineLoopCoreShare; }, 4},
    {"line_loop_period_median_ms", [](const Figures& f) { return f.lineLoopPeriodMedianMs; }, 4},
    {"display_cpu_to_line_loop", [](const Figures& f) { return f.displayCpuToLineLoop; }, 4},
    {"pass_to_line_loop_ratio", [](const Figures& f) { return f.passToLineLoopRatio; }, 4},
    {"default_slack_line_loop_period_median_ms", [](const Figures& f) { return f.defaultSlackPeriodMedianMs; }, 4},
    {"default_slack_line_loop_period_p99_ms", [](const Figures& f) { return f.defaultSlackPeriodP99Ms; }, 4},
    {"default_slack_line_loop_periods", [](const Figures& f) { return static_cast<double>(f.defaultSlackPeriods); }, 0},
    {"default_slack_line_loop_cpu_core_share", [](const Figures& f) { return f.defaultSlackCoreShare; }, 4},
    {"hand_over_p50_ms", [](const Figures& f) { return f.handOverP50Ms; }, 4},
    {"hand_over_p99_ms", [](const Figures& f) { return f.handOverP99Ms; }, 4},
    {"bare_loop_latency_floor_p50_ms", [](const Figures& f) { return f.bareFloorP50Ms; }, 4},
    {"bare_loop_latency_floor_p99_ms", [](const Figures& f) { return f.bareFloorP99Ms; }, 4},
    {"display_cpu_per_pass_us", [](const Figures& f) { return f.displayCpuPerPassUs; }, 3},
    {"line_loop_cpu_per_wake_up_us", [](const Figures& f) { return f.lineLoopCpuPerWakeUpUs; }, 3},
    {"line_rate_per_s", [](const Figures& f) { return f.lineRatePerS; }, 1},
    {"bare_loop_wake_ups_per_s", [](const Figures& f) { return f.bareWakeUpsPerS; }, 1},
    {"line_rate_to_bare_loop", [](const Figures& f) { return f.lineRateToBareLoop; }, 4},
};

// Each target's verdict, under the key of the figure it judges.
const struct {
    const char* key;
    const Target& target;
} judged[] = {
    {"latency_p99_to_floor", latencyToFloor},
    {"latency_samples", samples},
    {"pass_periods", samples},
    {"sleep_periods", samples},
    {"pass_to_line_loop_ratio", passToLine},
    {"display_cpu_to_line_loop", displayCpuToLine},
    {"line_rate_to_bare_loop", lineRate},
    {"reader_max_reports_per_s", readerMin},
};

std::string FormatJson(const Figures& f) {
    std::string text = "{";
    for (const JsonField& field : jsonFields)
        text += std::string(text.size() > 1 ? ", \"" : "\"") + field.key +
                "\": " + Number(field.value(f), field.decimals, "", "null");
    text += ", \"verdicts\": {";
    for (const auto& verdict : judged)
        for (const JsonField& field : jsonFields)
            if (std::string_view(field.key) == verdict.key)
                text += std::string(&verdict == judged ? "\"" : ", \"") + field.key +
                        "\": " + (Verdict(verdict.target, field.value(f))[0] == 'm' ? "true" : "false");
    text += "}}\n";
    return text;
}

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

std::string FormatTable(const Figures& f) {
    std::string text;
    auto add = [&](const char* name, const std::string& value, const std::string& floor = "",
                   const std::string& ratio = "", const std::string& target = "", const char* verdict = "") {
        char row[256];
        std::snprintf(row, sizeof row, "%-34s %13s %13s %7s   %-12s %s\n", name, value.c_str(), floor.c_str(),
                      ratio.c_str(), target.c_str(), verdict);
        std::string line = row;
        line.erase(line.find_last_not_of(" \n") + 1);
        text += line + "\n";
    };
    auto judge = [&](const char* name, const std::string& value, const std::string& floor, const std::string& ratio,
                     const Target& target, double figure) {
        // A figure held to its target: the target and the verdict.
        add(name, value, floor, ratio, TargetText(target), Verdict(target, figure));
    };
    auto number = [](double value, int decimals, const char* unit = "") { return Number(value, decimals, unit, "-"); };
    auto ms = [&](double value) { return number(value, 3, " ms"); };
    auto ratio = [&](double value) { return number(value, 3); };
    auto percent = [&](double share) { return number(share * 100, 2, " %"); };
    auto count = [&](int64_t value) { return number(static_cast<double>(value), 0); };
    char head[512];
    std::snprintf(head, sizeof head,
                  "weigh-bench: %g s of steady display a run; load average %.2f at start, %.2f at end\n"
                  "floors over the same moments: the latency floor of the judged run's own passes, and\n"
                  "beside the program, with its sleep, a bare 1 ms sleep loop (%lld periods) and the\n"
                  "line loop, which also forms and writes a line to the terminal at each wake-up\n",
                  f.seconds, f.loadAverage, f.loadAverageEnd, static_cast<long long>(f.sleepPeriods));
    text += head;
    add("", "program", "floor", "ratio", "target");
    add("report-to-line latency p50", ms(f.latencyP50Ms), ms(f.latencyFloorP50Ms),
        ratio(Ratio(f.latencyP50Ms, f.latencyFloorP50Ms)));
    judge("report-to-line latency p99", ms(f.latencyP99Ms), ms(f.latencyFloorP99Ms), ratio(f.latencyP99ToFloor),
          latencyToFloor, f.latencyP99ToFloor);
    add("  to the bare loop's floor p99", ms(f.latencyP99Ms), ms(f.bareFloorP99Ms),
        ratio(Ratio(f.latencyP99Ms, f.bareFloorP99Ms)));
    add("report-to-line latency max", ms(f.latencyMaxMs));
    add("  of it, sent to handed over p50", ms(f.handOverP50Ms));
    add("  of it, sent to handed over p99", ms(f.handOverP99Ms));
    judge("  reports timed", count(f.latencySamples), "", "", samples, static_cast<double>(f.latencySamples));
    judge("display pass period median", ms(f.passPeriodMedianMs), ms(f.lineLoopPeriodMedianMs),
          ratio(f.passToLineLoopRatio), passToLine, f.passToLineLoopRatio);
    add("  to the bare loop", ms(f.passPeriodMedianMs), ms(f.sleepPeriodMedianMs), ratio(f.passToSleepRatio));
    add("display pass period p99", ms(f.passPeriodP99Ms), ms(f.sleepPeriodP99Ms),
        ratio(Ratio(f.passPeriodP99Ms, f.sleepPeriodP99Ms)));
    judge("  periods timed", count(f.passPeriods), count(f.sleepPeriods), "", samples,
          static_cast<double>(std::min(f.passPeriods, f.sleepPeriods)));
    add("CPU, share of one core (pty)", percent(f.cpuCoreShare), percent(f.sleepCoreShare), number(f.cpuToBareLoop, 2));
    add("  of which the display thread", percent(f.displayThreadCoreShare), percent(f.sleepCoreShare),
        number(f.displayCpuToBareLoop, 2));
    judge("  a pass, to a line loop wake-up", number(f.displayCpuPerPassUs, 2, " us"),
          number(f.lineLoopCpuPerWakeUpUs, 2, " us"), number(f.displayCpuToLineLoop, 2), displayCpuToLine,
          f.displayCpuToLineLoop);
    judge("lines a second into a file", number(f.lineRatePerS, 1, " /s"), number(f.bareWakeUpsPerS, 1, " /s"),
          ratio(f.lineRateToBareLoop), lineRate, f.lineRateToBareLoop);
    add("line loop, default timer slack", "", "line loop");
    add("  period median", ms(f.defaultSlackPeriodMedianMs), ms(f.lineLoopPeriodMedianMs),
        ratio(Ratio(f.defaultSlackPeriodMedianMs, f.lineLoopPeriodMedianMs)));
    add("  period p99", ms(f.defaultSlackPeriodP99Ms));
    add("  CPU, share of one core", percent(f.defaultSlackCoreShare), percent(f.lineLoopCoreShare),
        number(Ratio(f.defaultSlackCoreShare, f.lineLoopCoreShare), 2));
    add("reports shown, board at 100/s", number(f.shownShare100Hz * 100, 1, " %"));
    add("  board's actual rate", number(f.boardRate100Hz, 1, " /s"));
    add("reports shown, board at 1000/s", number(f.shownShare1000Hz * 100, 1, " %"));
    add("  board's actual rate", number(f.boardRate1000Hz, 1, " /s"));
    judge("reader's most reports a second", number(f.readerMaxReportsPerS, 0, " /s"), "", "", readerMin,
          f.readerMaxReportsPerS);
    add("peak RSS", number(f.peakRssKib, 0, " KiB"));
    return text;
}

// The share of waits from a random moment to the next wake-up that end
// within x ms: the function LatencyFloorMs inverts.
static double FloorShare(const std::vector<double>& periodsMs, double x) {
    double within = 0, total = 0;
    for (double period : periodsMs) {
        within += std::min(x, period);
        total += period;
    }
    return total > 0 ? within / total : 0;
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
    char text[512];
    auto add = [&](const char* format, auto... values) {
        std::snprintf(text, sizeof text, format, values...);
        svg += text;
    };
    add("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" font-family=\"sans-serif\" "
        "font-size=\"12\">\n<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n",
        width, height);
    for (double share = 0; share <= 1.001; share += 0.25)
        add("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#ddd\"/><text x=\"%.1f\" y=\"%.1f\" "
            "text-anchor=\"end\">%.2f</text>\n",
            left, y(share), width - right, y(share), left - 6, y(share) + 4, share);
    for (double ms = 0; ms <= xMax + 1e-9; ms += step)
        add("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#ddd\"/><text x=\"%.1f\" y=\"%.1f\" "
            "text-anchor=\"middle\">%g</text>\n",
            x(ms), top, x(ms), y(0), x(ms), y(0) + 16, ms);
    add("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">ms from a report's sending to its line (curves: the "
        "share within)</text>\n",
        (left + width - right) / 2, height - 14);
    const struct {
        const char* id;
        const char* colour;
        const double* marks;
    } curves[] = {{"latency", "#1f5fa8", latency}, {"floor", "#d9730d", floor}};
    for (const auto& curve : curves) {
        bool isFloor = curve.marks == floor;
        add("<polyline id=\"%s\" fill=\"none\" stroke=\"%s\" stroke-width=\"2\" points=\"", curve.id, curve.colour);
        for (int i = 0; i <= 200; ++i) {
            double ms = xMax * i / 200;
            auto within = std::upper_bound(sorted.begin(), sorted.end(), ms) - sorted.begin();
            double share = isFloor
                               ? FloorShare(passPeriodsMs, ms)
                               : static_cast<double>(within) / static_cast<double>(std::max<size_t>(sorted.size(), 1));
            add("%s%.1f,%.1f", i ? " " : "", x(ms), y(share));
        }
        svg += "\"/>\n";
        for (int q = 0; q < 2; ++q)
            add("<circle cx=\"%.1f\" cy=\"%.1f\" r=\"4\" fill=\"%s\"/><text x=\"%.1f\" y=\"%.1f\" fill=\"%s\">%s "
                "%.3f ms</text>\n",
                x(curve.marks[q]), y(q ? 0.99 : 0.5), curve.colour, x(curve.marks[q]) + 6,
                y(q ? 0.99 : 0.5) + (isFloor ? 16 : -6), curve.colour, q ? "p99" : "p50", curve.marks[q]);
        add("<text x=\"%.1f\" y=\"%.1f\" fill=\"%s\">%s</text>\n", width - right - 230, y(0.2) + (isFloor ? 18 : 0),
            curve.colour, isFloor ? "the latency floor of the same passes" : "report-to-line latency");
    }
    svg += "</svg>\n";
    return svg;
}

}  // namespace bench
