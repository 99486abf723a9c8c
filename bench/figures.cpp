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

static std::string JsonNumber(double value, int decimals) {
    if (!std::isfinite(value))
        return "null";
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
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
};

std::string FormatJson(const Figures& f) {
    std::string text = "{";
    for (const JsonField& field : jsonFields) {
        if (text.size() > 1)
            text += ", ";
        text += '"';
        text += field.key;
        text += "\": ";
        text += JsonNumber(field.value(f), field.decimals);
    }
    text += "}\n";
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
    char row[256];
    auto add = [&](const char* name, const std::string& value, const std::string& floor, const std::string& ratio,
                   const std::string& target, const char* verdict) {
        std::snprintf(row, sizeof row, "%-34s %13s %13s %7s   %-12s %s\n", name, value.c_str(), floor.c_str(),
                      ratio.c_str(), target.c_str(), verdict);
        std::string line = row;
        line.erase(line.find_last_not_of(" \n") + 1);
        text += line + "\n";
    };
    auto number = [](const char* format, double value) {
        if (!std::isfinite(value))
            return std::string("-");
        char out[64];
        std::snprintf(out, sizeof out, format, value);
        return std::string(out);
    };
    char head[512];
    std::snprintf(head, sizeof head,
                  "weigh-bench: %g s of steady display a run; load average %.2f at start, %.2f at end\n"
                  "floors, run between the program's runs, with the program's sleep: a bare 1 ms sleep\n"
                  "loop (%lld periods), and the line loop, which also forms and writes a line to the\n"
                  "terminal at each wake-up\n",
                  f.seconds, f.loadAverage, f.loadAverageEnd, static_cast<long long>(f.sleepPeriods));
    text += head;
    add("", "program", "floor", "ratio", "target", "");
    add("report-to-line latency p50", number("%.3f ms", f.latencyP50Ms), number("%.3f ms", f.latencyFloorP50Ms),
        number("%.3f", Ratio(f.latencyP50Ms, f.latencyFloorP50Ms)), "", "");
    add("report-to-line latency p99", number("%.3f ms", f.latencyP99Ms), number("%.3f ms", f.latencyFloorP99Ms),
        number("%.3f", f.latencyP99ToFloor), TargetText(latencyToFloor), Verdict(latencyToFloor, f.latencyP99ToFloor));
    add("report-to-line latency max", number("%.3f ms", f.latencyMaxMs), "", "", "", "");
    add("  of it, sent to handed over p50", number("%.3f ms", f.handOverP50Ms), "", "", "", "");
    add("  of it, sent to handed over p99", number("%.3f ms", f.handOverP99Ms), "", "", "", "");
    add("  reports timed", number("%.0f", static_cast<double>(f.latencySamples)), "", "", TargetText(samples),
        Verdict(samples, static_cast<double>(f.latencySamples)));
    add("display pass period median", number("%.3f ms", f.passPeriodMedianMs),
        number("%.3f ms", f.lineLoopPeriodMedianMs), number("%.3f", f.passToLineLoopRatio), TargetText(passToLine),
        Verdict(passToLine, f.passToLineLoopRatio));
    add("  to the bare loop", number("%.3f ms", f.passPeriodMedianMs), number("%.3f ms", f.sleepPeriodMedianMs),
        number("%.3f", f.passToSleepRatio), "", "");
    add("  and at most", number("%.3f ms", f.passPeriodMedianMs), "", "", TargetText(passPeriodMax),
        Verdict(passPeriodMax, f.passPeriodMedianMs > 0 ? f.passPeriodMedianMs : std::nan("")));
    add("display pass period p99", number("%.3f ms", f.passPeriodP99Ms), number("%.3f ms", f.sleepPeriodP99Ms),
        number("%.3f", Ratio(f.passPeriodP99Ms, f.sleepPeriodP99Ms)), "", "");
    add("  periods timed", number("%.0f", static_cast<double>(f.passPeriods)),
        number("%.0f", static_cast<double>(f.sleepPeriods)), "", TargetText(samples),
        Verdict(samples, static_cast<double>(std::min(f.passPeriods, f.sleepPeriods))));
    add("CPU, share of one core (pty)", number("%.2f %%", f.cpuCoreShare * 100),
        number("%.2f %%", f.sleepCoreShare * 100), number("%.2f", f.cpuToBareLoop), "", "");
    add("  of which the display thread", number("%.2f %%", f.displayThreadCoreShare * 100),
        number("%.2f %%", f.sleepCoreShare * 100), number("%.2f", f.displayCpuToBareLoop), "", "");
    add("  the same, to the line loop", number("%.2f %%", f.displayThreadCoreShare * 100),
        number("%.2f %%", f.lineLoopCoreShare * 100), number("%.2f", f.displayCpuToLineLoop),
        TargetText(displayCpuToLine), Verdict(displayCpuToLine, f.displayCpuToLineLoop));
    add("line loop, default timer slack", "", "line loop", "", "", "");
    add("  period median", number("%.3f ms", f.defaultSlackPeriodMedianMs), number("%.3f ms", f.lineLoopPeriodMedianMs),
        number("%.3f", Ratio(f.defaultSlackPeriodMedianMs, f.lineLoopPeriodMedianMs)), "", "");
    add("  period p99", number("%.3f ms", f.defaultSlackPeriodP99Ms), "", "", "", "");
    add("  CPU, share of one core", number("%.2f %%", f.defaultSlackCoreShare * 100),
        number("%.2f %%", f.lineLoopCoreShare * 100),
        number("%.2f", Ratio(f.defaultSlackCoreShare, f.lineLoopCoreShare)), "", "");
    add("reports shown, board at 100/s", number("%.1f %%", f.shownShare100Hz * 100), "", "", "", "");
    add("  board's actual rate", number("%.1f /s", f.boardRate100Hz), "", "", "", "");
    add("reports shown, board at 1000/s", number("%.1f %%", f.shownShare1000Hz * 100), "", "", "", "");
    add("  board's actual rate", number("%.1f /s", f.boardRate1000Hz), "", "", "", "");
    add("reader's most reports a second", number("%.0f /s", f.readerMaxReportsPerS), "", "", TargetText(readerMin),
        Verdict(readerMin, f.readerMaxReportsPerS));
    add("peak RSS", number("%.0f KiB", f.peakRssKib), "", "", "", "");
    return text;
}

}  // namespace bench
