#include "scenario.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "console/reading.h"

namespace test {

namespace {

// The lines of text, carriage returns before newlines taken off; *cut
// tells whether the last one lacks its newline (it is then not listed).
std::vector<std::string> Lines(const std::string& text, bool* cut = nullptr) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (in.eof()) {
            if (cut)
                *cut = true;
            break;
        }
        lines.push_back(line);
    }
    return lines;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string all;
    for (const std::string& line : lines)
        all += "\n  " + line;
    return lines.empty() ? " none" : all;
}

bool StartsWith(const std::string& text, const std::string& start) {
    return text.compare(0, start.size(), start) == 0;
}

std::string Hex(unsigned byte) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "%02x", byte & 0xFF);
    return hex;
}

// What the board's log says: the output reports it received and its power
// events, in order, the reports it sent, and each mode change's mode and
// delay.
struct BoardLog {
    std::vector<std::string> received, sent, modes;
    std::vector<long long> modeDelaysMs;
    std::string leftInMode;
};

BoardLog ReadBoardLog(const std::string& text) {
    BoardLog log;
    for (const std::string& line : Lines(text)) {
        long long at = 0, asked = 0;
        unsigned mode = 0;
        int used = 0;
        if (StartsWith(line, "vboard: output ")) {
            log.received.push_back(line.substr(15));
        } else if (StartsWith(line, "vboard: left in mode ")) {
            log.leftInMode = line.substr(21);
        } else if (std::sscanf(line.c_str(), "vboard: at %lld ms mode %x, asked for at %lld ms", &at, &mode, &asked) ==
                   3) {
            log.modeDelaysMs.push_back(at - asked);
            log.modes.push_back(Hex(mode));
        } else if (std::sscanf(line.c_str(), "vboard: at %lld ms %n", &at, &used) == 1 && used > 0) {
            std::string event = line.substr(static_cast<size_t>(used));
            if (StartsWith(event, "sends "))
                log.sent.push_back(event.substr(6));
            else
                log.received.push_back(event);
        }
    }
    return log;
}

void CheckReadOut(const sim::Script& scenario, const std::string& output, std::vector<std::string>* failures) {
    bool cut = false;
    std::vector<std::string> lines = Lines(output, &cut);
    if (cut)
        failures->push_back("the read-out's last line is cut off");
    size_t notWhole = 0;
    Reading reading;
    for (const std::string& line : lines)
        if (!ParseReading(line, &reading) && notWhole++ == 0)
            failures->push_back("not a whole read-out line: " + line);
    if (notWhole > 1)
        failures->push_back(std::to_string(notWhole) + " lines in all are not whole read-out lines");

    bool anyExpected = false;
    size_t from = 0;
    for (const sim::Expectation& e : scenario.expectations) {
        auto shows = [&](const std::string& line) { return line.find(e.text) != std::string::npos; };
        auto shown = std::find_if(lines.begin(), lines.end(), shows);
        if (e.kind == sim::ExpectKind::Never && shown != lines.end())
            failures->push_back("shown though it never should be: " + *shown);
        if (e.kind != sim::ExpectKind::Line && e.kind != sim::ExpectKind::First && e.kind != sim::ExpectKind::Last)
            continue;
        anyExpected = true;
        size_t at = from;
        while (at < lines.size() && lines[at] != e.text)
            ++at;
        if (at == lines.size() || (e.kind == sim::ExpectKind::First && at != 0)) {
            failures->push_back("not shown in its place: " + e.text);
            continue;
        }
        from = at + 1;
        for (size_t later = at; e.kind == sim::ExpectKind::Last && later < lines.size(); ++later)
            if (lines[later] != e.text) {
                failures->push_back("the read-out does not end on " + e.text + "; line " + std::to_string(later + 1) +
                                    " after it: " + lines[later]);
                break;
            }
    }
    if (!anyExpected && !lines.empty())
        failures->push_back("a read-out where none should be: " + lines.front());
}

void CheckBoardLog(const sim::Script& scenario, const std::string& text, std::vector<std::string>* failures) {
    BoardLog log = ReadBoardLog(text);
    std::vector<std::string> received;
    for (const sim::Expectation& e : scenario.expectations) {
        if (e.kind == sim::ExpectKind::Received)
            received.push_back(e.text);
        if (e.kind == sim::ExpectKind::Sent && std::find(log.sent.begin(), log.sent.end(), e.text) == log.sent.end())
            failures->push_back("the board never sent " + e.text);
    }
    if (log.received != received)
        failures->push_back("the board received" + Joined(log.received) + "\nnot" + Joined(received));
    // Each mode report received before the board's first power event takes
    // effect, in its turn (the scripts leave them the time); a power event
    // may drop changes on their way, so those after one are not checked.
    std::vector<std::string> asked;
    bool cycled = false;
    for (const std::string& report : log.received) {
        cycled = cycled || !StartsWith(report, "1");
        if (StartsWith(report, "12 ") && report.size() >= 8 && !cycled)
            asked.push_back(report.substr(6, 2));
    }
    std::vector<std::string> took(log.modes.begin(), log.modes.begin() + std::min(log.modes.size(), asked.size()));
    if ((cycled ? took : log.modes) != asked)
        failures->push_back("the board's mode changes" + Joined(log.modes) + "\nnot" + Joined(asked));
    for (long long delay : log.modeDelaysMs)
        if (delay < scenario.modeLatencyMs)
            failures->push_back("a mode change took effect after " + std::to_string(delay) + " ms, not " +
                                std::to_string(scenario.modeLatencyMs) + " or more");
    // A board an earlier run left in another mode streams that mode first.
    std::string mode = Hex(scenario.startMode);
    if (scenario.startMode != sim::defaultReportingMode &&
        (log.leftInMode != mode || log.sent.empty() || !StartsWith(log.sent.front(), mode + " ")))
        failures->push_back("the board did not start in mode " + mode);
}

}  // namespace

std::vector<std::string> CheckRun(const sim::Script& scenario, const RunRecord& run) {
    std::vector<std::string> failures;
    CheckReadOut(scenario, run.output, &failures);
    std::vector<std::string> notices;
    for (const sim::Expectation& e : scenario.expectations) {
        if (e.kind == sim::ExpectKind::Notice)
            notices.push_back(e.text);
        if (e.kind == sim::ExpectKind::Status && std::to_string(run.status) != e.text)
            failures.push_back("weigh's exit status " + std::to_string(run.status) + ", not " + e.text);
    }
    bool cut = false;
    std::vector<std::string> errors = Lines(run.errors.value_or(""), &cut);
    if (run.errors && (errors != notices || cut))
        failures.push_back("standard error held" + Joined(errors) + (cut ? " (and a cut line)" : "") + "\nnot" +
                           Joined(notices));
    if (run.boardLog)
        CheckBoardLog(scenario, *run.boardLog, &failures);
    return failures;
}

}  // namespace test
