// The start-up sequence, its failure paths and the run that follows, as the
// simulated board sees them.
#include <gtest/gtest.h>

#include "acquisition/acquisition.h"
#include "console/console.h"
#include "device/padwire.h"
#include "device/reports.h"
#include "platform/platform.h"
#include "support.h"

namespace {

using sim::Call;

// The IDs the board is opened by, as the device family's own.
static_assert(boardVendorId == 0x057E && boardProductId == 0x0306);

// Display passes until one shows Home (one must, within the bound): their lines.
std::vector<std::string> PassesUntilHome() {
    std::vector<std::string> seen;
    EXPECT_TRUE(test::WaitFor([&] {
        seen.push_back(test::Pass());
        PlatformSleep(1);
        return seen.back().rfind("0,128,", 0) == 0;
    })) << "no pass showed Home";
    return seen;
}

TEST(StartUp, SendsTheThreeReportsInOrderAndStartsTheReader) {
    test::FreshRun("board 1700 00 00 100 200 300 400\nboard 600 00 80 100 200 300 400\n");
    ASSERT_EQ(StartWeighing(), 1);
    EXPECT_TRUE(test::Messages().empty());
    std::vector<Call> calls = sim::Calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(std::tuple(calls[0].kind, calls[0].vendorId, calls[0].productId, deviceHandle),
              std::tuple(Call::Open, boardVendorId, boardProductId, sim::boardHandle));
    for (size_t i = 1; i < 4; ++i)
        EXPECT_EQ(std::make_pair(calls[i].kind, calls[i].handle), std::make_pair(Call::Write, sim::boardHandle)) << i;
    EXPECT_EQ(test::WrittenReports(3), (std::vector<std::string>{"12 00 31", "11 10 31", "12 00 34"}));
    // The LED report goes out in a buffer never cleared: 11 10 31, zeros.
    EXPECT_TRUE(std::all_of(calls[2].bytes.begin() + 3, calls[2].bytes.end(), [](uint8_t b) { return b == 0; }));
    // The reader is running and the board is in mode 0x34: loads arrive.
    EXPECT_EQ(DeviceState.rawLb.load(), 400);
    std::vector<std::string> lines = PassesUntilHome();
    EXPECT_EQ(lines.front(), "0,0, Msum 10.0(kg), Mrf  100, Mrb  200, Mlf  300, Mlb  400\n");
    EXPECT_EQ(lines.back(), "0,128, Msum 10.0(kg), Mrf  100, Mrb  200, Mlf  300, Mlb  400\n");
    EXPECT_TRUE(test::WaitForProgramThreads());        // Home alone ended the reader
    EXPECT_EQ(sim::Calls().back().kind, Call::Write);  // and the device stays open
}

// Every way the open check fails: the user is told, the probe is ended, the
// device is closed, the run ends with status 1 and nothing more is sent.
TEST(StartUp, FailedOpenCheckTellsClosesAndEndsWithStatus1) {
    const std::vector<std::string> cannotOpen = {"Wii-Remote cannot open."};
    const struct {
        const char* script;
        std::vector<std::string> messages;
        int32_t closedHandle;
    } cases[] = {
        {"missing\n", {"Wii-Remote not found.", "Wii-Remote cannot open."}, -1},
        {"silent\n", cannotOpen, sim::boardHandle},
        {"report 9000 30\n", cannotOpen, sim::boardHandle},  // buttons only
        {"accel 0\nboard 9000 00 00 1 1 1 1\n", cannotOpen, sim::boardHandle},
        {"unplugged\n", cannotOpen, sim::boardHandle},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        test::FreshRun(c.script);
        EXPECT_EQ(WeighMain(), 1);
        EXPECT_EQ(test::Messages(), c.messages);
        // StopProbe has waited for the probe: nothing runs on.
        EXPECT_EQ(TestLiveThreads(), 0);
        test::ExpectNoReadRunsOn();
        std::vector<Call> calls = sim::Calls();
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(std::tuple(calls.front().kind, calls.back().kind, calls.back().handle),
                  std::tuple(Call::Open, Call::Close, c.closedHandle));
        std::vector<Call::Kind> writesAndClose;
        for (const Call& call : calls)
            if (call.kind != Call::Read)
                writesAndClose.push_back(call.kind);
        EXPECT_EQ(writesAndClose, (std::vector<Call::Kind>{Call::Open, Call::Write, Call::Close}));
        EXPECT_EQ(calls[1].bytes[0], c.closedHandle == -1 ? 0 : 0x12);
    }
}

TEST(StartUp, MissingBoardGetsOnlyCallsOnMinusOne) {
    test::FreshRun("missing\n");
    EXPECT_EQ(WeighMain(), 1);
    for (const Call& call : sim::Calls())
        if (call.kind != Call::Open) {
            EXPECT_EQ(std::pair(call.handle, call.result), std::pair(-1, -1)) << call.kind;
        }
    EXPECT_EQ(sim::ReportsDelivered(), 0);
}

TEST(Weighing, ZeroPointWhileAHeldThenNegativeAfterRelease) {
    test::FreshRun("board 1700 00 00 1000 1000 1000 1000\n"
                   "board  400 00 08 1500 1600 1700 1800\n"    // A held with a load on
                   "board  400 00 00 1400 1600 1700 1750\n"    // released, lighter
                   "board 1000 00 80 1400 1600 1700 1750\n");  // Home
    ASSERT_EQ(StartWeighing(), 1);
    std::vector<std::string> lines = PassesUntilHome();
    EXPECT_EQ(lines.front(), "0,0, Msum 40.0(kg), Mrf 1000, Mrb 1000, Mlf 1000, Mlb 1000\n");
    auto has = [&](const std::string& line) { return std::find(lines.begin(), lines.end(), line) != lines.end(); };
    EXPECT_TRUE(has("0,8, Msum  0.0(kg), Mrf    0, Mrb    0, Mlf    0, Mlb    0\n"));
    EXPECT_TRUE(has("0,0, Msum -1.5(kg), Mrf -100, Mrb    0, Mlf    0, Mlb  -50\n"));
    EXPECT_TRUE(test::WaitForProgramThreads());  // frozen after Home: the same line on every pass
    for (int pass = 0; pass < 2; ++pass)
        EXPECT_EQ(test::Pass(), "0,128, Msum -1.5(kg), Mrf -100, Mrb    0, Mlf    0, Mlb  -50\n") << pass;
}

TEST(Weighing, AHeldThroughStartUpZeroesFromTheFirstLine) {
    test::FreshRun("board 1700 00 08 1200 1300 1400 1500\nboard 500 00 80 1300 1300 1400 1500\n");
    ASSERT_EQ(StartWeighing(), 1);
    EXPECT_EQ(test::Pass(), "0,8, Msum  0.0(kg), Mrf    0, Mrb    0, Mlf    0, Mlb    0\n");
    EXPECT_EQ(PassesUntilHome().back(), "0,128, Msum  1.0(kg), Mrf  100, Mrb    0, Mlf    0, Mlb    0\n");
    EXPECT_TRUE(test::WaitForProgramThreads());
}

// Home pressed before the reader starts: the reader still starts, reads the
// report that says Home and ends; the display goes on with it.
TEST(Weighing, HomeWithinTheFirstSecond) {
    test::FreshRun("board 50 00 00 1 2 3 4\nboard 9000 00 80 5 6 7 8\n");
    ASSERT_EQ(StartWeighing(), 1);
    EXPECT_TRUE(test::WaitForProgramThreads());
    EXPECT_EQ(test::Pass(), "0,128, Msum  0.3(kg), Mrf    5, Mrb    6, Mlf    7, Mlb    8\n");
}

}  // namespace
