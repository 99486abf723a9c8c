#include "harness.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace bench {

void LoadsForSequence(int64_t sequence, int32_t loads[4]) {
    loads[0] = static_cast<int32_t>(sequence & 0xFFFF);
    loads[1] = static_cast<int32_t>((sequence >> 16) & 0xFFFF);
    loads[2] = sequenceMark;
    loads[3] = sequenceMark;
}

static int32_t Word(const uint8_t* bytes) {
    return bytes[0] * 256 + bytes[1];
}

int64_t SequenceOfReport(const uint8_t* bytes, size_t length) {
    if (length < 11 || bytes[0] != 0x34 || Word(bytes + 7) != sequenceMark || Word(bytes + 9) != sequenceMark)
        return -1;
    return static_cast<int64_t>(Word(bytes + 5)) << 16 | Word(bytes + 3);
}

// The value after a label such as "Mrf", as the line prints it ("% 5d").
static bool ValueAfter(std::string_view line, std::string_view label, int64_t* value) {
    size_t at = line.find(label);
    if (at == std::string_view::npos)
        return false;
    std::string field(line.substr(at + label.size(), 12));
    char* end = nullptr;
    long parsed = std::strtol(field.c_str(), &end, 10);
    if (end == field.c_str())
        return false;
    *value = parsed;
    return true;
}

int64_t SequenceOfLine(std::string_view line) {
    int64_t low = 0, high = 0, lf = 0, lb = 0;
    if (!ValueAfter(line, ", Mrf", &low) || !ValueAfter(line, ", Mrb", &high) || !ValueAfter(line, ", Mlf", &lf) ||
        !ValueAfter(line, ", Mlb", &lb))
        return -1;
    if (lf != sequenceMark || lb != sequenceMark || low < 0 || low > 0xFFFF || high < 0 || high > 0xFFFF)
        return -1;
    int64_t sequence = high << 16 | low;
    return sequence == 0 ? -1 : sequence;
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
        size_t index = static_cast<size_t>(report.sequence);
        if (index >= firstShown.size() || firstShown[index] < 0)
            continue;
        // A line that was written before the report came cannot show it.
        if (firstShown[index] < report.ns)
            continue;
        ++matching.shown;
        matching.latencyMs.push_back(static_cast<double>(firstShown[index] - report.ns) / 1e6);
    }
    return matching;
}

std::string FormatJson(const Figures& f) {
    char text[1024];
    std::snprintf(text, sizeof text,
                  "{\"latency_p50_ms\": %.4f, \"latency_p99_ms\": %.4f, \"latency_max_ms\": %.4f, "
                  "\"pass_period_median_ms\": %.4f, \"pass_period_p99_ms\": %.4f, "
                  "\"sleep_period_median_ms\": %.4f, \"pass_to_sleep_ratio\": %.4f, "
                  "\"shown_share_100hz\": %.4f, \"shown_share_1000hz\": %.4f, "
                  "\"reader_max_reports_per_s\": %.0f, \"cpu_core_share\": %.4f, \"peak_rss_kib\": %.0f}\n",
                  f.latencyP50Ms, f.latencyP99Ms, f.latencyMaxMs, f.passPeriodMedianMs, f.passPeriodP99Ms,
                  f.sleepPeriodMedianMs, f.passToSleepRatio, f.shownShare100Hz, f.shownShare1000Hz,
                  f.readerMaxReportsPerS, f.cpuCoreShare, f.peakRssKib);
    return text;
}

static const char* Verdict(bool met) {
    return met ? "met" : "MISSED";
}

std::string FormatTable(const Figures& f) {
    std::string text;
    char row[256];
    auto add = [&](const char* name, const char* value, const char* target, const char* verdict) {
        std::snprintf(row, sizeof row, "%-36s %16s   %-14s %s\n", name, value, target, verdict);
        text += row;
    };
    auto number = [](const char* format, double value) {
        static char buffers[4][64];
        static int next;
        char* out = buffers[next++ % 4];
        std::snprintf(out, 64, format, value);
        return out;
    };
    std::snprintf(row, sizeof row, "weigh-bench: %g s of steady display a run; load average %.2f at start, %.2f at end\n",
                  f.seconds, f.loadAverage, f.loadAverageEnd);
    text += row;
    add("", "figure", "target", "");
    add("report-to-line latency p50", number("%.3f ms", f.latencyP50Ms), "", "");
    add("report-to-line latency p99", number("%.3f ms", f.latencyP99Ms), "<= 1.5 ms", Verdict(f.latencyP99Ms <= 1.5));
    add("report-to-line latency max", number("%.3f ms", f.latencyMaxMs), "", "");
    add("  reports timed", number("%.0f", static_cast<double>(f.latencySamples)), "", "");
    add("display pass period median", number("%.3f ms", f.passPeriodMedianMs), "", "");
    add("display pass period p99", number("%.3f ms", f.passPeriodP99Ms), "", "");
    add("bare 1 ms sleep period median", number("%.3f ms", f.sleepPeriodMedianMs), "", "");
    add("bare 1 ms sleep period p99", number("%.3f ms", f.sleepPeriodP99Ms), "", "");
    add("pass period / sleep period", number("%.3f", f.passToSleepRatio), "<= 1.10",
        Verdict(f.passToSleepRatio <= 1.10));
    add("reports shown, board at 100/s", number("%.1f %%", f.shownShare100Hz * 100), "", "");
    add("  board's actual rate", number("%.1f /s", f.boardRate100Hz), "", "");
    add("reports shown, board at 1000/s", number("%.1f %%", f.shownShare1000Hz * 100), "", "");
    add("  board's actual rate", number("%.1f /s", f.boardRate1000Hz), "", "");
    add("reader's most reports a second", number("%.0f /s", f.readerMaxReportsPerS), ">= 10000 /s",
        Verdict(f.readerMaxReportsPerS >= 10000));
    add("CPU, share of one core (pty)", number("%.2f %%", f.cpuCoreShare * 100), "< 5 %",
        Verdict(f.cpuCoreShare < 0.05));
    add("  of which the display thread", number("%.2f %%", f.displayThreadCoreShare * 100), "", "");
    add("  a bare 1 ms sleep loop, alone", number("%.2f %%", f.sleepCoreShare * 100), "", "");
    add("peak RSS", number("%.0f KiB", f.peakRssKib), "", "");
    return text;
}

}  // namespace bench
