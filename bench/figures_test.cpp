// weigh-bench's arithmetic: the numbers it hides in the board's loads must
// come back out of the program's own lines, its scripts must play what they
// say, and its figures must count what they claim to.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>

#include "console/console.h"
#include "device/reports.h"
#include "figures.h"
#include "sim/report.h"
#include "sim/script.h"
#include "tests/program_state.h"

namespace {

// The line the program prints for these raw words with no zero point.
std::string ProgramLine(const int32_t loads[4]) {
    test::ResetProgram();
    test::SetShownLoads(loads[0], loads[1], loads[2], loads[3]);
    char line[128];
    FormatReading(line, sizeof line);
    return line;
}

// A report as the board sends it, with these loads.
std::vector<uint8_t> LoadReport(const int32_t loads[4], uint8_t id = weighingMode) {
    sim::ReportFields fields;
    std::copy(loads, loads + 4, fields.loads);
    std::vector<uint8_t> report(sim::longestReport);
    report.resize(sim::EncodeReport(id, fields, report.data()));
    return report;
}

TEST(Sequence, SurvivesTheReportAndTheProgramsLine) {
    for (int64_t sequence : {1LL, 2LL, 999LL, 65535LL, 65536LL, 65537LL, 1234567LL, 0xFFFFFFFFLL}) {
        SCOPED_TRACE(sequence);
        int32_t loads[4];
        bench::LoadsForSequence(sequence, loads);
        for (int32_t load : loads) {
            EXPECT_GE(load, 0);
            EXPECT_LE(load, 65535);
        }
        std::vector<uint8_t> report = LoadReport(loads);
        EXPECT_EQ(bench::SequenceOfReport(report.data(), report.size()), sequence);
        std::string line = ProgramLine(loads);
        EXPECT_EQ(bench::SequenceOfLine(line), sequence) << line;
    }
}

TEST(Sequence, NoneInReportsAndLinesThatCarryNone) {
    int32_t loads[4];
    bench::LoadsForSequence(7, loads);
    std::vector<uint8_t> accel = LoadReport(loads, accelerometerMode);
    EXPECT_EQ(bench::SequenceOfReport(accel.data(), accel.size()), -1) << "not a weighing report";
    std::vector<uint8_t> report = LoadReport(loads);
    EXPECT_EQ(bench::SequenceOfReport(report.data(), 6), -1) << "too short to carry the loads";
    int32_t unmarked[4] = {7, 0, 4321, 4320};
    std::vector<uint8_t> other = LoadReport(unmarked);
    EXPECT_EQ(bench::SequenceOfReport(other.data(), other.size()), -1);

    int32_t empty[4] = {0, 0, 0, 0};
    EXPECT_EQ(bench::SequenceOfLine(ProgramLine(empty)), -1) << "the empty board before its first weighing report";
    int32_t marked0[4] = {0, 0, bench::sequenceMark, bench::sequenceMark};
    EXPECT_EQ(bench::SequenceOfLine(ProgramLine(marked0)), -1) << "number 0 is never sent";
    int32_t ordinary[4] = {1480, 1523, 1502, 1461};
    EXPECT_EQ(bench::SequenceOfLine(ProgramLine(ordinary)), -1);
    EXPECT_EQ(bench::SequenceOfLine("0,0, Msum  6.5(kg), Mrf  123"), -1) << "a line cut short";
    EXPECT_EQ(bench::SequenceOfLine(""), -1);
}

TEST(Scripts, SequencedScriptPlaysOneNumberPerStretch) {
    std::string text = bench::SequencedScript(1000, 1, 50);
    sim::Script script;
    std::string error;
    ASSERT_TRUE(sim::ParseScript(text, &script, &error)) << error;
    EXPECT_EQ(script.lengthMs, 50);
    for (int64_t ms : {0, 1, 2, 17, 49}) {
        sim::Moment moment = sim::MomentAt(script, ms);
        EXPECT_EQ(moment.rate, 1000);
        int32_t loads[4];
        bench::LoadsForSequence(ms + 1, loads);
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(moment.loads[i], loads[i]) << "at " << ms << " ms, load " << i;
    }

    ASSERT_TRUE(sim::ParseScript(bench::SequencedScript(100, 10, 95), &script, &error)) << error;
    EXPECT_EQ(script.lengthMs, 100) << "rounded up to whole stretches";
    EXPECT_EQ(sim::MomentAt(script, 19).loads[0], 2);
    EXPECT_EQ(sim::MomentAt(script, 20).loads[0], 3);
}

TEST(Scripts, SteadyScriptHoldsItsRate) {
    for (int32_t rate : {0, 100}) {
        sim::Script script;
        std::string error;
        ASSERT_TRUE(sim::ParseScript(bench::SteadyScript(rate), &script, &error)) << error;
        EXPECT_EQ(sim::MomentAt(script, 5000).rate, rate);
        EXPECT_EQ(sim::MomentAt(script, 5000).loads[0], 1480) << "the last stretch holds for good";
    }
}

TEST(Quantile, NearestRank) {
    struct Case {
        std::vector<double> values;
        double q;
        double expected;
    };
    std::vector<double> hundred;
    for (int i = 100; i >= 1; --i)
        hundred.push_back(i);
    const std::vector<Case> cases = {
        {{}, 0.5, 0},
        {{3}, 0.5, 3},
        {{3}, 0.99, 3},
        {{4, 1, 3, 2}, 0.5, 2},
        {{4, 1, 3, 2}, 1.0, 4},
        {{4, 1, 3, 2}, 0.0, 1},
        {{5, 1, 4, 2, 3}, 0.5, 3},
        {hundred, 0.99, 99},
        {hundred, 0.5, 50},
    };
    for (const Case& c : cases)
        EXPECT_EQ(bench::Quantile(c.values, c.q), c.expected) << c.values.size() << " values, q " << c.q;
}

TEST(Periods, BetweenSuccessiveEvents) {
    std::vector<bench::Event> events = {{1000000, 0}, {2100000, 0}, {3150000, 0}};
    EXPECT_EQ(bench::PeriodsMs(events), (std::vector<double>{1.1, 1.05}));
    EXPECT_TRUE(bench::PeriodsMs({{5, 0}}).empty());
}

TEST(MatchReports, CountsTheReportsALineShowedAfterTheirHandOver) {
    const int64_t ms = 1000000;
    std::vector<bench::Event> reports = {
        {0 * ms, 1},   // before the window
        {10 * ms, 2},  // shown, and again after
        {20 * ms, 3},  // replaced before any line showed it
        {21 * ms, 4},  // shown
        {30 * ms, 5},  // its only line came before it: a line cannot show a report to come
        {40 * ms, 6},  // after the window
    };
    std::vector<bench::Event> lines = {
        {1 * ms, 1},           {10 * ms + ms / 2, 2}, {11 * ms, 2}, {12 * ms, -1},
        {22 * ms + ms / 5, 4}, {29 * ms, 5},          {41 * ms, 6},
    };
    bench::Matching matching = bench::MatchReports(reports, lines, 5 * ms, 35 * ms);
    EXPECT_EQ(matching.reports, 4);
    EXPECT_EQ(matching.shown, 2);
}

TEST(SentOnSchedule, EveryPeriodFromTheFirstUnlessAPeriodBehind) {
    const int64_t us = 1000;
    std::vector<bench::Event> handed = {
        {100000 * us, 1},  // the first: sent as it is handed over
        {101050 * us, 2},  // due at 101 ms, handed over 50 us late
        {102900 * us, 3},  // due at 102 ms, 0.9 ms late: still on schedule
        {104500 * us, 4},  // due at 103 ms, a period late: the board starts afresh
        {105200 * us, 5},  // before its due time by this count: sent at its hand-over
        {106250 * us, 6},  // due at 106.2 ms
    };
    std::vector<int64_t> expected = {100000 * us, 101000 * us, 102000 * us, 104500 * us, 105200 * us, 106200 * us};
    EXPECT_EQ(bench::SentOnSchedule(handed, 1000), expected);
    EXPECT_TRUE(bench::SentOnSchedule({}, 1000).empty());
}

TEST(LatencyToScreen, FromSendingToTheFirstLineShowingItOrALaterReport) {
    const int64_t us = 1000;
    std::vector<bench::Event> reports = {
        {1000 * us, 1},   // before the window
        {10100 * us, 2},  // shown 0.4 ms after its hand-over
        {11050 * us, 3},  // replaced before any line showed it: the next report's line
        {11900 * us, 4},  // shown at once
        {20000 * us, 4},  // the same number again: its line comes after its hand-over
        {40000 * us, 6},  // after the window
    };
    std::vector<int64_t> sent = {1000 * us, 10000 * us, 11000 * us, 11850 * us, 20000 * us, 40000 * us};
    std::vector<bench::Event> lines = {
        {1200 * us, 1},  {10500 * us, 2}, {11000 * us, 2}, {12000 * us, -1},
        {12300 * us, 4}, {20700 * us, 4}, {41000 * us, 6},
    };
    std::vector<double> latencies = bench::LatencyToScreenMs(reports, sent, lines, 5000 * us, 35000 * us);
    ASSERT_EQ(latencies.size(), 4u);
    EXPECT_NEAR(latencies[0], 0.5, 1e-9);
    EXPECT_NEAR(latencies[1], 1.3, 1e-9);
    EXPECT_NEAR(latencies[2], 0.45, 1e-9);
    EXPECT_NEAR(latencies[3], 0.7, 1e-9);
    // A report no line answers has no latency, nor has any after it.
    lines.resize(4);
    EXPECT_EQ(bench::LatencyToScreenMs(reports, sent, lines, 5000 * us, 35000 * us).size(), 1u);
}

TEST(LatencyFloor, WaitFromARandomMomentToTheNextWakeUp) {
    struct Case {
        const char* name;
        std::vector<double> periods;
        double q;
        double expected;
    };
    std::vector<double> ninetyNineShortOneLong(99, 1.0);
    ninetyNineShortOneLong.push_back(101.0);
    const std::vector<Case> cases = {
        {"no periods", {}, 0.99, 0},
        {"even periods: half a period", {1.1, 1.1, 1.1, 1.1}, 0.5, 0.55},
        {"even periods: most of one", {1.1, 1.1, 1.1, 1.1}, 0.99, 1.089},
        {"all of it", {1.0, 3.0}, 1.0, 3.0},
        // Waits up to x make (min(x,1) + min(x,3)) / 4 of the time.
        {"two lengths, p50", {3.0, 1.0}, 0.5, 1.0},
        {"two lengths, p99", {3.0, 1.0}, 0.99, 2.96},
        {"two lengths, p25", {1.0, 3.0}, 0.25, 0.5},
        // One period in a hundred is long, but it is half of the time: the
        // plain p99 of the periods (1 ms) would hide it.
        {"one long period in a hundred, p99", ninetyNineShortOneLong, 0.99, 99.0},
        {"one long period in a hundred, p50", ninetyNineShortOneLong, 0.5, 1.0},
        {"no length is no period", {0.0, 2.0, -1.0}, 0.5, 1.0},
    };
    for (const Case& c : cases)
        EXPECT_NEAR(bench::LatencyFloorMs(c.periods, c.q), c.expected, 1e-9) << c.name;
}

TEST(Ratio, NoneWithoutAFigureToDivideBy) {
    EXPECT_DOUBLE_EQ(bench::Ratio(3, 2), 1.5);
    for (auto [a, b] : {std::pair{1.0, 0.0}, {1.0, -1.0}, {INFINITY, 1.0}, {1.0, NAN}})
        EXPECT_TRUE(std::isnan(bench::Ratio(a, b))) << a << " / " << b;
}

// The keys of the JSON object in order, those of the verdicts, last, as
// "verdicts.key"; each is followed by a number in plain decimals or null,
// in the verdicts by true or false, and nothing else is between them.
std::vector<std::string> JsonKeys(const std::string& json, std::vector<std::string>* nulls) {
    static const std::regex member(R"re(^"([a-z0-9_]+)": (-?[0-9]+(\.[0-9]+)?|null|true|false|\{))re");
    std::vector<std::string> found;
    std::string object;
    size_t at = 1;
    EXPECT_EQ(json.front(), '{');
    for (std::smatch match;
         std::regex_search(json.begin() + static_cast<std::ptrdiff_t>(at), json.end(), match, member);) {
        std::string key = object + match[1].str(), value = match[2];
        found.push_back(key);
        at += static_cast<size_t>(match.length(0));
        if (value == "{") {
            object = key + ".";
            continue;
        }
        if (value == "null")
            nulls->push_back(key);
        else
            EXPECT_EQ(object.empty(), value != "true" && value != "false") << key << ": " << value;
        if (json.compare(at, 2, ", ") != 0)
            break;
        at += 2;
    }
    EXPECT_EQ(json.substr(at), "}}\n") << "what follows " << (found.empty() ? "{" : found.back());
    return found;
}

// The keys of the figures' table, in its order, then the verdicts', one
// for each target, under the key of the figure it judges.
std::vector<std::string> TableKeys() {
    std::vector<std::string> keys;
    for (const bench::JsonField& field : bench::jsonFields)
        keys.push_back(field.key);
    keys.push_back("verdicts");
    for (const char* judged :
         {"latency_p99_to_floor", "latency_samples", "pass_to_line_loop_ratio", "pass_periods", "sleep_periods",
          "display_cpu_to_line_loop", "line_rate_to_bare_loop", "reader_max_reports_per_s"})
        keys.push_back(std::string("verdicts.") + judged);
    return keys;
}

// Each figure with its decimals, or null where it is none: a bare loop
// measured at no CPU at all, or no floor, makes its ratios infinite or not
// a number, and an unreadable load average is NaN.
TEST(Output, JsonHoldsEveryFigureANumberOrNull) {
    bench::Figures figures;
    figures.latencyP50Ms = 0.5;
    figures.readerMaxReportsPerS = 123456;
    figures.loadAverageEnd = 2.25;
    figures.latencySamples = 5012;
    figures.cpuToBareLoop = 0.03 / figures.sleepCoreShare;
    figures.displayCpuToBareLoop = bench::Ratio(0.02, figures.sleepCoreShare);
    figures.latencyP99ToFloor = -INFINITY;
    figures.latencyMaxMs = NAN;
    std::string json = bench::FormatJson(figures);
    std::vector<std::string> nulls;
    EXPECT_EQ(JsonKeys(json, &nulls), TableKeys());
    EXPECT_EQ(nulls, (std::vector<std::string>{"latency_max_ms", "latency_p99_to_floor", "cpu_to_bare_loop",
                                               "display_cpu_to_bare_loop", "load_average_start"}));
    for (const char* member :
         {"\"latency_p50_ms\": 0.5000,", "\"reader_max_reports_per_s\": 123456,",
          "\"bare_loop_cpu_core_share\": 0.0000,", "\"load_average_end\": 2.25,", "\"latency_samples\": 5012,"})
        EXPECT_NE(json.find(member), std::string::npos) << member;
}

// Each target's row in the table says "met" at its limit and "MISSED" just
// past it, or where its figure is none, and its verdict in the JSON agrees.
TEST(Output, TableAndJsonJudgeEachTarget) {
    using F = bench::Figures;
    struct Case {
        const bench::Target& target;
        bench::Figure figure;
        const char* row;
        const char* key;
    };
    const std::vector<Case> cases = {
        {bench::latencyToFloor, &F::latencyP99ToFloor, "latency p99", "latency_p99_to_floor"},
        {bench::passToLine, &F::passToLineLoopRatio, "pass period median", "pass_to_line_loop_ratio"},
        {bench::samples, &F::latencySamples, "reports timed", "latency_samples"},
        {bench::samples, &F::passPeriods, "passes timed", "pass_periods"},
        {bench::samples, &F::sleepPeriods, "bare loop periods timed", "sleep_periods"},
        {bench::readerMin, &F::readerMaxReportsPerS, "reader's most", "reader_max_reports_per_s"},
        {bench::displayCpuToLine, &F::displayCpuToLineLoop, "a pass, to", "display_cpu_to_line_loop"},
        {bench::lineRate, &F::lineRateToBareLoop, "lines a second", "line_rate_to_bare_loop"},
    };
    F allMet;  // each figure at its limit
    for (const Case& c : cases)
        allMet.*c.figure = c.target.limit;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.row);
        const double limit = c.target.limit;
        for (double value : {limit, c.target.atLeast ? limit - 1 : limit * 1.01, std::nan("")}) {
            F figures = allMet;
            figures.*c.figure = value;
            std::string table = bench::FormatTable(figures), json = bench::FormatJson(figures);
            size_t at = table.find(c.row);
            std::string row = at == std::string::npos ? "" : table.substr(at, table.find('\n', at) - at);
            EXPECT_NE(row.find(bench::TargetText(c.target)), std::string::npos) << row;
            EXPECT_NE(row.find(value == limit ? " met" : "MISSED"), std::string::npos) << value << ": " << row;
            std::string verdict = std::string("\"") + c.key + "\": " + (value == limit ? "true" : "false");
            EXPECT_NE(json.find(verdict, json.find("\"verdicts\"")), std::string::npos) << verdict;
        }
    }
}

// docs/performance.md's lines from the one that starts with start to the
// first blank line after it.
std::vector<std::string> DocLines(const std::string& start) {
    std::ifstream doc(WEIGH_SOURCE_DIR "/docs/performance.md");
    EXPECT_TRUE(doc.good()) << "cannot read docs/performance.md";
    std::vector<std::string> lines;
    for (std::string line; std::getline(doc, line);) {
        if (lines.empty() && line.rfind(start, 0) != 0)
            continue;
        if (line.empty())
            break;
        lines.push_back(line);
    }
    return lines;
}

// The doc's table of targets is figures.h's, row for row.
TEST(Doc, TargetsAreTheHarnesss) {
    std::vector<std::string> rows = DocLines("| figure | target |");
    std::vector<std::string> expected = {"| figure | target |", "|---|---|"};
    for (const bench::Target& target : bench::targets)
        expected.push_back(std::string("| ") + target.figure + " | " + bench::TargetDocText(target) + " |");
    EXPECT_EQ(rows, expected);
}

// The doc's account of --json names every key of the object, and no other
// (`null` is the value of a figure that is none).
TEST(Doc, JsonKeysAreTheHarnesss) {
    std::vector<std::string> named;
    for (const std::string& line : DocLines("`--json` holds"))
        for (size_t at = line.find('`'); at != std::string::npos; at = line.find('`', at)) {
            size_t close = line.find('`', at + 1);
            if (close == std::string::npos)
                break;
            std::string word = line.substr(at + 1, close - at - 1);
            if (word != "null" && word.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") == std::string::npos)
                named.push_back(word);
            at = close + 1;
        }
    std::vector<std::string> keys = TableKeys();
    keys.erase(
        std::remove_if(keys.begin(), keys.end(), [](const std::string& key) { return key.find('.') != key.npos; }),
        keys.end());
    std::sort(named.begin(), named.end());
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(named, keys);
}

// The chart is a well-formed SVG: every tag closed, in order, and its two
// curves rise from none to all, each with its p50 and p99 marked.
TEST(Plot, TwoCumulativeCurvesWithTheirQuantilesMarked) {
    std::vector<double> latencies, periods(5000, 1.0);
    for (int i = 0; i < 5000; ++i)
        latencies.push_back(0.1 + 1.2 * i / 5000);
    std::string svg = bench::PlotSvg(latencies, periods);
    std::vector<std::string> open;
    for (size_t at = svg.find('<'); at != std::string::npos; at = svg.find('<', at + 1)) {
        size_t end = svg.find('>', at);
        ASSERT_NE(end, std::string::npos);
        std::string tag = svg.substr(at + 1, end - at - 1);
        EXPECT_EQ(std::count(tag.begin(), tag.end(), '"') % 2, 0) << tag;
        if (tag[0] == '/') {
            ASSERT_FALSE(open.empty()) << tag;
            EXPECT_EQ(open.back(), tag.substr(1));
            open.pop_back();
        } else if (tag.back() != '/') {
            open.push_back(tag.substr(0, tag.find(' ')));
        }
    }
    EXPECT_TRUE(open.empty());
    EXPECT_EQ(svg.rfind("<svg xmlns=\"http://www.w3.org/2000/svg\"", 0), 0u);
    for (const char* id : {"latency", "floor"}) {
        SCOPED_TRACE(id);
        size_t at = svg.find(std::string("<polyline id=\"") + id + "\"");
        ASSERT_NE(at, std::string::npos);
        size_t from = svg.find("points=\"", at) + 8;
        std::istringstream points(svg.substr(from, svg.find('"', from) - from));
        std::vector<double> ys;
        double x = 0, y = 0;
        for (char comma; points >> x >> comma >> y;)
            ys.push_back(y);
        ASSERT_GE(ys.size(), 100u);
        EXPECT_TRUE(std::is_sorted(ys.rbegin(), ys.rend())) << "a cumulative curve never falls";
        EXPECT_GT(ys.front(), ys.back() + 300);  // from the share 0 to the share 1
    }
    char mark[64];
    for (auto [name, value] : {std::pair{"p50", bench::Quantile(latencies, 0.5)},
                               {"p99", bench::Quantile(latencies, 0.99)},
                               {"p50", bench::LatencyFloorMs(periods, 0.5)},
                               {"p99", bench::LatencyFloorMs(periods, 0.99)}}) {
        std::snprintf(mark, sizeof mark, ">%s %.3f ms<", name, value);
        EXPECT_NE(svg.find(mark), std::string::npos) << mark;
    }
}

}  // namespace
