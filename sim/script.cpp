#include "script.h"

#include <charconv>
#include <fstream>
#include <sstream>

namespace sim {

namespace {

std::vector<std::string_view> Words(std::string_view line) {
    std::vector<std::string_view> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r'))
            ++i;
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r')
            ++i;
        if (i > start)
            words.push_back(line.substr(start, i - start));
    }
    return words;
}

bool Number(std::string_view word, int base, int64_t low, int64_t high, int64_t* value) {
    if (base == 16 && word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X'))
        word.remove_prefix(2);
    int64_t parsed = 0;
    auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), parsed, base);
    if (ec != std::errc() || end != word.data() + word.size() || parsed < low || parsed > high)
        return false;
    *value = parsed;
    return true;
}

constexpr int64_t maxMs = int64_t{1} << 40;  // some 35 years

struct ExpectWord {
    const char* word;
    ExpectKind kind;
};
constexpr ExpectWord expectWords[] = {
    {"line", ExpectKind::Line},   {"first", ExpectKind::First},   {"last", ExpectKind::Last},
    {"never", ExpectKind::Never}, {"notice", ExpectKind::Notice}, {"received", ExpectKind::Received},
    {"sent", ExpectKind::Sent},   {"status", ExpectKind::Status},
};

// "expect KIND TEXT": TEXT is the rest of the line after one space, its
// inner spaces kept and its trailing ones dropped.
bool ParseExpectation(std::string_view line, Expectation* expectation, std::string* why) {
    std::vector<std::string_view> words = Words(line);
    if (words.size() < 3) {
        *why = "expect takes what and its text";
        return false;
    }
    for (const ExpectWord& known : expectWords) {
        if (words[1] != known.word)
            continue;
        size_t at = static_cast<size_t>(words[1].data() + words[1].size() - line.data()) + 1;
        std::string_view text = line.substr(at);
        while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
            text.remove_suffix(1);
        int64_t status = 0;
        if (known.kind == ExpectKind::Status && !Number(text, 10, 0, 255, &status)) {
            *why = "expect status takes an exit status 0..255";
            return false;
        }
        *expectation = {known.kind, std::string(text)};
        return true;
    }
    *why = "expect what? '" + std::string(words[1]) + "'";
    return false;
}

}  // namespace

bool ParseScript(std::string_view text, Script* script, std::string* error) {
    Script parsed;
    int64_t clock = 0;
    bool forGood = false;
    int lineNumber = 0;
    auto fail = [&](const std::string& why) {
        *error = "line " + std::to_string(lineNumber) + ": " + why;
        return false;
    };
    while (!text.empty()) {
        ++lineNumber;
        size_t newline = text.find('\n');
        std::string_view line = text.substr(0, newline);
        text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
        if (size_t hash = line.find('#'); hash != std::string_view::npos)
            line = line.substr(0, hash);
        std::vector<std::string_view> words = Words(line);
        if (words.empty())
            continue;
        std::string_view verb = words[0];
        size_t args = words.size() - 1;
        if (verb == "expect") {
            Expectation expectation;
            std::string why;
            if (!ParseExpectation(line, &expectation, &why))
                return fail(why);
            parsed.expectations.push_back(std::move(expectation));
            continue;
        }
        Step step;
        step.startMs = clock;
        int64_t value = 0;
        bool timed = false;
        if (verb == "board") {
            if (args != 7)
                return fail("board takes MS B1 B2 RF RB LF LB");
            step.kind = StepKind::Board;
            if (!Number(words[1], 10, 0, maxMs, &step.durationMs))
                return fail("bad duration '" + std::string(words[1]) + "'");
            for (int i = 0; i < 2; ++i) {
                if (!Number(words[2 + i], 16, 0, 255, &value))
                    return fail("bad button byte '" + std::string(words[2 + i]) + "' (hex 00..FF)");
                (i == 0 ? step.buttons1 : step.buttons2) = static_cast<uint8_t>(value);
            }
            for (int i = 0; i < 4; ++i) {
                if (!Number(words[4 + i], 10, 0, 65535, &value))
                    return fail("bad load '" + std::string(words[4 + i]) + "' (0..65535)");
                step.loads[i] = static_cast<int32_t>(value);
            }
            timed = true;
        } else if (verb == "silent" || verb == "unplugged" || verb == "off") {
            step.kind = verb == "silent" ? StepKind::Silent : verb == "off" ? StepKind::Off : StepKind::Unplugged;
            if (args > 1)
                return fail(std::string(verb) + " takes at most a duration");
            step.durationMs = -1;
            if (args == 1 && !Number(words[1], 10, 0, maxMs, &step.durationMs))
                return fail("bad duration '" + std::string(words[1]) + "'");
            timed = true;
        } else if (verb == "report") {
            if (args != 2)
                return fail("report takes MS ID");
            step.kind = StepKind::Report;
            if (!Number(words[1], 10, 0, maxMs, &step.durationMs))
                return fail("bad duration '" + std::string(words[1]) + "'");
            if (!Number(words[2], 16, 0, 255, &value))
                return fail("bad report ID '" + std::string(words[2]) + "' (hex 00..FF)");
            step.reportId = static_cast<uint8_t>(value);
            timed = true;
        } else if (verb == "rate") {
            if (args != 1 || !Number(words[1], 10, 0, 1000000, &value))
                return fail("rate takes a number of reports a second, 0..1000000");
            step.kind = StepKind::Rate;
            step.rate = static_cast<int32_t>(value);
        } else if (verb == "accel") {
            if (args != 1 || !Number(words[1], 16, 0, 255, &value))
                return fail("accel takes a byte in hex");
            step.kind = StepKind::Accel;
            step.accel = static_cast<uint8_t>(value);
        } else if (verb == "status") {
            if (args != 0)
                return fail("status takes nothing");
            step.kind = StepKind::Status;
        } else if (verb == "end") {
            if (args > 1 || (args == 1 && !Number(words[1], 10, 0, 255, &value)))
                return fail("end takes at most an exit status 0..255");
            step.kind = StepKind::End;
            step.status = static_cast<int32_t>(value);
        } else if (verb == "mode") {
            if (args != 1 || !Number(words[1], 16, 0, 255, &value))
                return fail("mode takes a reporting mode in hex");
            parsed.startMode = static_cast<uint8_t>(value);
            continue;
        } else if (verb == "latency") {
            if (args != 1 || !Number(words[1], 10, 0, 60000, &value))
                return fail("latency takes a number of milliseconds, 0..60000");
            parsed.modeLatencyMs = value;
            continue;
        } else if (verb == "missing") {
            if (args != 0)
                return fail("missing takes nothing");
            parsed.missing = true;
            continue;
        } else if (verb == "remote") {
            if (args != 0)
                return fail("remote takes nothing");
            parsed.remote = true;
            continue;
        } else {
            return fail("unknown word '" + std::string(verb) + "'");
        }
        if (forGood)
            return fail("nothing can follow a stretch that lasts for good");
        if (timed) {
            if (step.durationMs < 0)
                forGood = true;
            else
                clock += step.durationMs;
            // Each stretch is bounded, but a script of many can still add up
            // past what a 64-bit clock holds.
            if (clock > maxMs)
                return fail("the script is longer than " + std::to_string(maxMs) + " ms");
        }
        parsed.steps.push_back(step);
    }
    parsed.lengthMs = forGood ? -1 : clock;
    *script = std::move(parsed);
    return true;
}

bool ReadScriptFile(const char* path, std::string* text) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream contents;
    contents << file.rdbuf();
    *text = contents.str();
    return static_cast<bool>(file);
}

Moment MomentAt(const Script& script, int64_t ms) {
    Moment moment;
    for (const Step& step : script.steps) {
        if (step.startMs > ms)
            break;
        bool current = step.durationMs < 0 || ms < step.startMs + step.durationMs;
        switch (step.kind) {
        case StepKind::Rate: moment.rate = step.rate; break;
        case StepKind::Accel: moment.accel = step.accel; break;
        case StepKind::End: break;
        case StepKind::Status: ++moment.statusReports; break;
        case StepKind::Board:
            moment.buttons1 = step.buttons1;
            moment.buttons2 = step.buttons2;
            for (int i = 0; i < 4; ++i)
                moment.loads[i] = step.loads[i];
            break;
        case StepKind::Off:
            if (!current)
                ++moment.powerCycles;
            [[fallthrough]];
        case StepKind::Silent:
        case StepKind::Unplugged:
        case StepKind::Report:
            if (current) {
                moment.fault = step.kind;
                moment.reportId = step.reportId;
                moment.faultEndMs = step.durationMs < 0 ? -1 : step.startMs + step.durationMs;
            }
            break;
        }
    }
    return moment;
}

const Step* EndStep(const Script& script) {
    for (const Step& step : script.steps)
        if (step.kind == StepKind::End)
            return &step;
    return nullptr;
}

// Empty, zeroed with A, stepped on, weight shifted corner by corner,
// stepped off, Home, then the frozen read-out until the end.
const char* const builtInSession = R"(# weigh-sim's built-in session, about 11 s
rate 100
board 2000 00 00  1480 1523 1502 1461   # the empty board, before its zero point
board  600 00 08  1480 1523 1502 1461   # A held: the zero point is taken
board  400 00 00  1481 1522 1502 1462
board  150 00 00  1980 2023 1902 1861   # stepping on
board  150 00 00  2980 3023 2702 2661
board 1000 00 00  3230 3273 3252 3211   # standing still: 70 kg
board  800 00 00  4630 4673 1852 1811   # leaning right
board  800 00 00  1830 1873 4652 4611   # leaning left
board  800 00 00  4080 2423 4102 2361   # leaning forward
board  800 00 00  2380 4123 2402 4061   # leaning back
board  150 00 00  1980 2023 1902 1861   # stepping off
board  600 00 00  1480 1523 1502 1461   # empty again
board  300 00 80  1480 1523 1502 1461   # Home: the reader stops
board 2500 00 00  1480 1523 1502 1461   # the read-out stays frozen
end 0
# What weigh-sim shows of it, in order, and its end.
expect first 0,0, Msum 59.7(kg), Mrf 1480, Mrb 1523, Mlf 1502, Mlb 1461
expect line 0,8, Msum  0.0(kg), Mrf    0, Mrb    0, Mlf    0, Mlb    0
expect line 0,0, Msum 70.0(kg), Mrf 1750, Mrb 1750, Mlf 1750, Mlb 1750
expect line 0,0, Msum 70.0(kg), Mrf 3150, Mrb 3150, Mlf  350, Mlb  350
expect line 0,0, Msum 70.0(kg), Mrf  350, Mrb  350, Mlf 3150, Mlb 3150
expect line 0,0, Msum  0.0(kg), Mrf    0, Mrb    0, Mlf    0, Mlb    0
expect last 0,128, Msum  0.0(kg), Mrf    0, Mrb    0, Mlf    0, Mlb    0
expect status 0
)";

}  // namespace sim
