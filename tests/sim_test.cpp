// The simulated board: its script and how it answers.
#include <gtest/gtest.h>

#include "device/padwire.h"
#include "device/reports.h"
#include "sim/answer.h"
#include "sim/board.h"
#include "sim/model.h"
#include "sim/script.h"
#include "support.h"

namespace {

using sim::Script;
using sim::StepKind;

// The script of text, which must parse.
Script Parsed(std::string_view text) {
    Script script;
    std::string error;
    EXPECT_TRUE(sim::ParseScript(text, &script, &error)) << error;
    return script;
}

TEST(Script, ParsesEveryKindOfLine) {
    const Script script = Parsed("# a comment\n\nrate 250\naccel 7f\n"                                    // steps 0, 1
                                 "board 100 00 08 1 2 3 65535  # trailing comment\r\n"                    // 2
                                 "silent 50\nreport 30 0x21\nunplugged 20\nend 3\n"                       // 3 to 6
                                 "\tboard 10 FF 80 0 0 0 0\nmissing\nmode 34\nlatency 20\nunplugged\n");  // 7, 8
    ASSERT_EQ(script.steps.size(), 9u);
    EXPECT_TRUE(script.missing);
    EXPECT_EQ(script.startMode, 0x34);
    EXPECT_EQ(script.modeLatencyMs, 20);
    EXPECT_EQ(script.lengthMs, -1);
    EXPECT_EQ(script.steps[0].rate, 250);
    EXPECT_EQ(script.steps[1].accel, 0x7F);
    EXPECT_EQ(script.steps[2].buttons2, 0x08);
    EXPECT_EQ(script.steps[2].loads[3], 65535);
    EXPECT_EQ(script.steps[3].startMs, 100);
    EXPECT_EQ(script.steps[4].reportId, 0x21);
    EXPECT_EQ(script.steps[4].startMs, 150);
    EXPECT_EQ(script.steps[6].kind, StepKind::End);
    EXPECT_EQ(script.steps[6].startMs, 200);
    EXPECT_EQ(script.steps[6].status, 3);
    EXPECT_EQ(sim::EndStep(script), &script.steps[6]);
    EXPECT_EQ(script.steps[7].buttons1, 0xFF);
    EXPECT_EQ(script.steps[8].durationMs, -1);
}

TEST(Script, RejectsBadLinesSayingWhere) {
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"board 10 00 00 1 2 3\n", "line 1: board takes"},
        {"\nboard 10 00 00 1 2 3 65536\n", "line 2: bad load '65536'"},
        {"board 10 100 00 1 2 3 4\n", "line 1: bad button byte '100'"},
        {"board -5 00 00 1 2 3 4\n", "line 1: bad duration '-5'"},
        {"board 10 00 00 1 2 3 x4\n", "line 1: bad load 'x4'"},
        {"rate fast\n", "line 1: rate takes"},
        {"report 10\n", "line 1: report takes"},
        {"jump 10\n", "line 1: unknown word 'jump'"},
        {"silent\nboard 10 00 00 1 2 3 4\n", "line 2: nothing can follow"},
        {"end 256\n", "line 1: end takes"},
        {"mode\n", "line 1: mode takes"},
        {"latency -1\n", "line 1: latency takes"},
        {"silent 99999999999999999999\n", "line 1: bad duration"},
    };
    for (const auto& [text, why] : cases) {
        Script script;
        std::string error;
        EXPECT_FALSE(sim::ParseScript(text, &script, &error)) << text;
        EXPECT_EQ(error.rfind(why, 0), 0u) << text << " gave: " << error;
    }
}

TEST(Script, MomentFollowsTheStretches) {
    const Script script =
        Parsed("board 100 00 08 1 2 3 4\nsilent 50\naccel 00\nreport 50 30\nboard 100 00 00 5 6 7 8\n");
    EXPECT_EQ(sim::MomentAt(script, 0).buttons2, 0x08);
    EXPECT_EQ(sim::MomentAt(script, 99).fault, StepKind::Board);
    sim::Moment silent = sim::MomentAt(script, 100);
    EXPECT_EQ(silent.fault, StepKind::Silent);
    EXPECT_EQ(silent.faultEndMs, 150);
    EXPECT_EQ(silent.loads[2], 3);  // the board's state goes on
    sim::Moment report = sim::MomentAt(script, 170);
    EXPECT_EQ(report.fault, StepKind::Report);
    EXPECT_EQ(report.reportId, 0x30);
    EXPECT_EQ(report.accel, 0x00);
    EXPECT_EQ(sim::MomentAt(script, 200).loads[0], 5);
    EXPECT_EQ(sim::MomentAt(script, 100000).loads[3], 8);  // the last state holds
    EXPECT_EQ(sim::MomentAt(script, 100000).fault, StepKind::Board);
}

// Where the board stands, which both the simulated board and the virtual
// one act on: gone and back, a new power cycle in the default mode, the end
// of the script once its clock runs, and when each may change next.
TEST(Model, StandsWhereTheScriptPutsIt) {
    using sim::Presence;
    struct At {
        int64_t ms;
        Presence presence;
        int64_t untilMs;
        int32_t powerCycles;
    };
    const std::vector<std::pair<const char*, std::vector<At>>> cases = {
        {"board 100 00 00 1 1 1 1\nunplugged 50\nboard 100 00 00 2 2 2 2\noff 200\nboard 100 00 00 3 3 3 3\nend 4\n",
         {{0, Presence::There, 100, 0},
          {120, Presence::Unplugged, 150, 0},
          {150, Presence::There, 250, 0},
          {300, Presence::Off, 450, 0},
          {450, Presence::There, 550, 1},
          {550, Presence::Ended, -1, 1}}},
        {"board 100 00 00 1 1 1 1\nunplugged 50\n",
         {{120, Presence::Unplugged, 150, 0}, {150, Presence::There, -1, 0}}},
        {"off\n", {{0, Presence::Off, -1, 0}}},
        {"end 4\n", {{0, Presence::Ended, -1, 0}}},
        {"missing\nboard 100 00 00 1 1 1 1\n", {{0, Presence::Off, -1, 0}}},
    };
    for (const auto& [text, stands] : cases) {
        SCOPED_TRACE(text);
        sim::Model model(Parsed(text));
        EXPECT_NE(model.Stand(999000000).presence, Presence::Ended) << "the clock stands at 0 until it starts";
        model.Start(0);
        const uint8_t mode34[] = {0x12, 0x00, 0x34};
        model.Output(0, mode34, sizeof mode34);
        for (const At& at : stands) {
            sim::Standing standing = model.Stand(at.ms * 1000000);
            EXPECT_EQ(standing.presence, at.presence) << at.ms << " ms";
            EXPECT_EQ(standing.untilMs, at.untilMs) << at.ms << " ms";
            EXPECT_EQ(standing.moment.powerCycles, at.powerCycles) << at.ms << " ms";
            EXPECT_EQ(model.Mode(at.ms * 1000000), at.powerCycles ? sim::defaultReportingMode : 0x34) << at.ms << " ms";
            EXPECT_EQ(standing.exitStatus, at.presence == Presence::Ended ? 4 : 0);
        }
    }
}

TEST(Script, BuiltInSessionParsesAndEnds) {
    const Script script = Parsed(sim::builtInSession);
    ASSERT_FALSE(script.steps.empty());
    EXPECT_EQ(script.steps.back().kind, StepKind::End);
    EXPECT_EQ(sim::EndStep(script), &script.steps.back());
    EXPECT_GT(script.lengthMs, 5000);
}

TEST(Board, AnswersEachModeWithItsReport) {
    test::FreshRun("accel 9c\nboard 5000 01 08 4660 22136 1 65535\n");
    int32_t handle = OpenHidHandle(boardVendorId, boardProductId);
    ASSERT_EQ(handle, sim::boardHandle);
    unsigned char report[256] = {};
    uint32_t info = 0;
    report[0] = 0x12;
    report[2] = 0x31;
    EXPECT_EQ(WriteReport(handle, report, &info), 0);
    ASSERT_EQ(ReadReport(handle, report, &info), 6);
    EXPECT_EQ(std::vector<uint8_t>(report, report + 4), (std::vector<uint8_t>{0x31, 0x01, 0x08, 0x9C}));
    report[0] = 0x12;
    report[2] = 0x34;
    WriteReport(handle, report, &info);
    ASSERT_EQ(ReadReport(handle, report, &info), 22);
    EXPECT_EQ(std::vector<uint8_t>(report, report + 11),
              (std::vector<uint8_t>{0x34, 0x01, 0x08, 0x12, 0x34, 0x56, 0x78, 0x00, 0x01, 0xFF, 0xFF}));
    EXPECT_EQ(CloseHidHandle(handle), 0);
}

TEST(Board, CallsOnAnotherHandleFailAndTouchNoBuffer) {
    test::FreshRun("board 1000 00 00 1 1 1 1\n");
    unsigned char report[256];
    std::fill(std::begin(report), std::end(report), 0xEE);
    uint32_t info = 0x1234;
    for (int32_t handle : {-1, 0, sim::boardHandle}) {  // the board is not open yet
        EXPECT_EQ(ReadReport(handle, report, &info), -1);
        EXPECT_EQ(WriteReport(handle, report, &info), -1);
        EXPECT_EQ(CloseHidHandle(handle), -1);
    }
    EXPECT_TRUE(std::all_of(std::begin(report), std::end(report), [](unsigned char b) { return b == 0xEE; }));
    EXPECT_EQ(info, 0x1234u);
    EXPECT_EQ(OpenHidHandle(boardVendorId, boardProductId + 1), -1);
    EXPECT_EQ(OpenHidHandle(boardVendorId + 1, boardProductId), -1);
}

TEST(Board, PushedReportsComeFirstAndExactly) {
    test::FreshRun("silent\n");
    int32_t handle = OpenHidHandle(boardVendorId, boardProductId);
    unsigned char report[256];
    std::fill(std::begin(report), std::end(report), 0xEE);
    uint32_t info = 0;
    test::Push(test::Report({0x34, 1, 2}));
    EXPECT_EQ(ReadReport(handle, report, &info), 3);
    EXPECT_EQ(report[2], 2);
    EXPECT_EQ(report[3], 0xEE);  // the rest of the buffer is left alone
    test::Push(std::vector<uint8_t>(300, 0x35));
    EXPECT_EQ(ReadReport(handle, report, &info), 256);
}

// The board keeps its own clock: a report handed over late does not push
// the next one later, but a board nobody read for a whole period starts
// afresh instead of sending a backlog at once.
TEST(Pacing, ReportsKeepTheirScheduleUnlessAPeriodWasMissed) {
    const int64_t ms = 1000000;
    struct Case {
        int64_t due, now;
        int32_t rate;
        int64_t sent;
    };
    for (Case c : {Case{10 * ms, 10 * ms, 100, 10 * ms}, Case{10 * ms, 13 * ms, 100, 10 * ms},
                   Case{10 * ms, 20 * ms, 100, 20 * ms}, Case{10 * ms, 25 * ms, 100, 25 * ms},
                   Case{1 * ms, 1 * ms + 999999, 1000, 1 * ms}, Case{5 * ms, 7 * ms, 0, 7 * ms}})
        EXPECT_EQ(sim::ReportSentNs(c.due, c.now, c.rate), c.sent) << c.due << " " << c.now << " " << c.rate;
}

}  // namespace
