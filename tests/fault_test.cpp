// Faults a board or a broken link can hand the program: reports of other
// families and of every ID, short and long reads, a board that stops or is
// unplugged mid-run, switched off and on again, and a flood of reports.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>

#include "acquisition/acquisition.h"
#include "console/console.h"
#include "device/padwire.h"
#include "device/reports.h"
#include "platform/platform.h"
#include "sim/report.h"
#include "support.h"

namespace {

// A report as the board sends it in weighingMode; given another ID, the
// same bytes under it, as a board or a broken link may send them.
std::vector<uint8_t> Loads(int buttons2, int32_t rf, int32_t rb, int32_t lf, int32_t lb, int id = weighingMode) {
    const sim::ReportFields fields{.buttons2 = static_cast<uint8_t>(buttons2), .loads = {rf, rb, lf, lb}};
    std::vector<uint8_t> report(sim::longestReport);
    report.resize(sim::EncodeReport(weighingMode, fields, report.data()));
    report[0] = static_cast<uint8_t>(id);
    return report;
}

// The reader's next read takes report, which is then decoded.
void Decode(const std::vector<uint8_t>& report) {
    test::Push(report);
    ReadDeviceReport();
}

// Runs the display as the main loop does, its read-out kept off the test's
// output, calling watch() after each pass, until the program's threads end;
// false if they outlive bound.
bool DisplayUntilThreadsEnd(const std::function<void()>& watch, std::chrono::seconds bound) {
    testing::internal::CaptureStdout();
    bool ended = test::WaitFor(
        [&] {
        DisplayPass();
        PlatformSleep(1);
        watch();
        return TestLiveThreads() == 0;
        },
        bound);
    testing::internal::GetCapturedStdout();
    return ended;
}

const std::string goneNotice = "weigh: the board has gone; waiting for it to come back\n";
const std::string backNotice = "weigh: the board is back\n";

class Faults : public ::testing::Test {
protected:
    void SetUp() override {
        test::FreshRun("silent\n");
        test::SetDeviceHandle(OpenHidHandle(boardVendorId, boardProductId));
        ASSERT_NE(deviceHandle, -1);
    }
};

// Reports of the status, memory and acknowledgement kind change nothing,
// whatever bytes they carry, between reports that do.
TEST_F(Faults, OtherFamilyBetweenGoodReportsChangesNothing) {
    Decode(Loads(0, 100, 200, 300, 400));
    for (int id : {0x20, 0x21, 0x22}) {
        SCOPED_TRACE(id);
        Decode(Loads(0xFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, id));
        EXPECT_EQ(DeviceState.buttons2.load(), 0);
        EXPECT_EQ(DeviceState.rawRf.load(), 100);
        EXPECT_EQ(DeviceState.rawLb.load(), 400);
    }
    Decode(Loads(aButton, 1, 2, 3, 4));
    EXPECT_EQ(DeviceState.buttons2.load(), 0x08);
    EXPECT_EQ(DeviceState.rawLb.load(), 4);
}

// Every ID of the 0x30 family sets the buttons, accelX when bit 0 is set
// and the loads when bit 2 is set, from the same fixed byte positions.
TEST_F(Faults, EveryIdOfTheFamilyByItsBits) {
    for (int id = 0x30; id <= 0x3F; ++id) {
        SCOPED_TRACE(id);
        test::SetBoardState(0, 0, 7, 0, 0, 7, 0x11);
        Decode(Loads(0x40, 0xABCD, 2, 3, 0x1234, id));
        EXPECT_EQ(DeviceState.buttons2.load(), 0x40);
        EXPECT_EQ(DeviceState.accelX.load(), (id & 0x01) ? 0xAB : 0x11);
        EXPECT_EQ(DeviceState.rawRf.load(), (id & 0x04) ? 0xABCD : 7);
        EXPECT_EQ(DeviceState.rawLb.load(), (id & 0x04) ? 0x1234 : 7);
    }
}

// A read shorter than the report's fields decodes what the buffer holds
// behind it: the last longer report's bytes. A read of 256 bytes fills the
// buffer and nothing is read past it.
TEST_F(Faults, ReadsOfZeroOneTwoAnd256Bytes) {
    Decode(Loads(aButton, 100, 200, 300, 400));
    Decode({});  // 0 bytes: the buffer as it was, decoded again
    EXPECT_EQ(DeviceState.rawRf.load(), 100);
    EXPECT_EQ(DeviceState.buttons2.load(), 0x08);
    Decode(test::Report({0x30}));                  // 1 byte: the ID alone
    EXPECT_EQ(DeviceState.buttons2.load(), 0x08);  // byte 2 left from before
    Decode(test::Report({0x34, 0x05}));            // 2 bytes
    EXPECT_EQ(DeviceState.buttons1.load(), 0x05);
    EXPECT_EQ(DeviceState.rawLb.load(), 400);
    std::vector<uint8_t> full(256, 0xFF);
    full[0] = 0x37;
    Decode(full);
    EXPECT_EQ(DeviceState.accelX.load(), 0xFF);
    EXPECT_EQ(DeviceState.rawLb.load(), 65535);
    EXPECT_EQ(inReport[255], 0xFF);
}

// A board that stops sending mid-run: the read-out goes on with the last
// values, and the reader waits in its read. A silent board has not gone:
// however long the silence, it is not closed and looked for again.
TEST(FaultsInARun, BoardFallsSilentMidRun) {
    test::FreshRun("board 1500 00 00 10 20 30 40\nsilent\n");
    ASSERT_EQ(StartWeighing(), 1);
    ASSERT_TRUE(test::WaitFor([] { return sim::BoardClockMs() > 1550; }));
    int64_t delivered = sim::ReportsDelivered();
    ASSERT_TRUE(test::WaitFor([] { return sim::BoardClockMs() > 1550 + 2 * boardGoneAfterMs; }));
    EXPECT_EQ(test::Pass(), "0,0, Msum  1.0(kg), Mrf   10, Mrb   20, Mlf   30, Mlb   40\n");
    EXPECT_EQ(sim::ReportsDelivered(), delivered);
    EXPECT_EQ(sim::ReadsInside(), 1);  // the reader waits, it does not spin
    EXPECT_EQ(sim::ReadsFailed(), 0);
    EXPECT_EQ(std::ranges::count(sim::Calls(), sim::Call::Open, &sim::Call::kind), 1);
    EXPECT_EQ(sim::OpenHandles(), 1);
    test::Push(Loads(homeButton, 0, 0, 0, 0, dataReportFamily));
    EXPECT_TRUE(test::WaitForProgramThreads());
}

// A link that drops out for less than the half second that means the
// board has gone: every read fails at once and the previous report is
// decoded again, so the values hold, and the board is not looked for
// again. The reader pauses after each failed read: about thirty over the
// drop-out, where a reader that spins on them makes millions.
TEST(FaultsInARun, LinkDropsOutForAMoment) {
    test::FreshRun("board 1500 00 00 10 20 30 40\nboard 300 00 00 50 60 70 80\nunplugged 300\n"
                   "board 5000 00 80 50 60 70 80\n");
    ASSERT_EQ(StartWeighing(), 1);
    ASSERT_TRUE(test::WaitFor([] { return sim::ReadsFailed() > 0; }));
    EXPECT_EQ(test::Pass(), "0,0, Msum  2.6(kg), Mrf   50, Mrb   60, Mlf   70, Mlb   80\n");
    // Back after the drop-out: the reader reads Home and ends.
    ASSERT_TRUE(test::WaitForProgramThreads());
    EXPECT_EQ(DeviceState.buttons2.load(), 0x80);
    EXPECT_LE(sim::ReadsFailed(), 150);
    EXPECT_EQ(std::ranges::count_if(sim::Calls(), [](const sim::Call& c) { return c.kind != sim::Call::Read; }), 4)
        << "the open and the three output reports of the start-up, and nothing after them";
}

// What a run holds of the process: descriptors, threads and resident
// memory (Linux; elsewhere the program's own threads). A sanitizer's own
// memory grows as the run goes on, so there the resident memory is left to
// the sanitizer (LeakSanitizer reports what is never freed).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool residentMemoryTells = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool residentMemoryTells = false;
#else
constexpr bool residentMemoryTells = true;
#endif
#else
constexpr bool residentMemoryTells = true;
#endif

struct Holdings {
    long descriptors = 0, threads = 0, residentKb = 0;
};

Holdings Held() {
    Holdings held;
#ifdef __linux__
    using std::filesystem::directory_iterator;
    held.descriptors = std::distance(directory_iterator("/proc/self/fd"), directory_iterator());
    held.threads = std::distance(directory_iterator("/proc/self/task"), directory_iterator());
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            held.residentKb = std::stol(line.substr(6));
#else
    held.threads = TestLiveThreads();
#endif
    return held;
}

// The board switched off (its handle dead for good) and on again, once or
// many times: each time weigh says it has gone, finds it again, lights its
// LED, sets mode 0x34 on the new handle, says it is back and shows its new
// loads against the old zero point. Failed reads and opens are paced, and
// the hundredth cycle holds no more of the process than the first.
struct ComeBackCase {
    const char* name;
    int offMs;
    int cycles;
};

TEST(FaultsInARun, BoardSwitchedOffAndOnIsFoundAgain) {
    for (ComeBackCase c : {ComeBackCase{"back within the half second", 500, 2},
                           ComeBackCase{"off for two seconds", 2000, 1}, ComeBackCase{"a hundred times", 500, 100}}) {
        SCOPED_TRACE(c.name);
        // Zero point 100 a corner; cycle k shows 200 + k, so Mrf 100 + k.
        std::string script = "board 1500 00 00 100 100 100 100\nboard 300 00 08 100 100 100 100\n"
                             "board 300 00 00 150 150 150 150\n";
        std::string notices;
        for (int k = 1; k <= c.cycles; ++k) {
            std::string load = std::to_string(200 + k);
            script += "off " + std::to_string(c.offMs) + "\nboard 200 00 00 " + load + " " + load + " " + load + " " +
                      load + "\n";
            notices += goneNotice + backNotice;
        }
        script += "board 300 00 80 0 0 0 0\n";
        test::FreshRun(script);
        testing::internal::CaptureStderr();
        ASSERT_EQ(StartWeighing(), 1);
        std::set<int> shown;  // the cycles whose loads showed
        Holdings first, last;
        bool ended = DisplayUntilThreadsEnd(
            [&] {
            int k = Mrf - 100;
            if (k >= 1 && k <= c.cycles && shown.insert(k).second) {
                if (k == 1)
                    first = Held();
                if (k == c.cycles)
                    last = Held();
            }
            },
            std::chrono::seconds(30 + c.cycles * 2));
        std::string said = testing::internal::GetCapturedStderr();
        ASSERT_TRUE(ended) << "the reader did not end on the last Home";
        EXPECT_EQ(shown.size(), static_cast<size_t>(c.cycles)) << "a cycle's loads were never shown";
        EXPECT_EQ(said, notices);
        // After the start's three reports, 11 10 and 12 00 34 on each new handle.
        std::vector<std::string> written = test::WrittenReports(3);
        ASSERT_EQ(written.size(), 3u + 2u * static_cast<size_t>(c.cycles));
        int failedOpens = 0;
        int32_t lastWriteHandle = 0;
        for (const sim::Call& call : sim::Calls()) {
            failedOpens += call.kind == sim::Call::Open && call.result == -1;
            if (call.kind == sim::Call::Write)
                lastWriteHandle = call.handle;
        }
        EXPECT_EQ(written[written.size() - 2].substr(0, 5), "11 10");
        EXPECT_EQ(written.back(), "12 00 34");
        EXPECT_EQ(lastWriteHandle, sim::boardHandle + c.cycles);
        EXPECT_EQ(sim::OpenHandles(), 1);
        // About fifty failed reads a cycle and two opens a second; a loop
        // that did not pause would make thousands.
        EXPECT_LE(sim::ReadsFailed(), 100 * c.cycles);
        EXPECT_LE(failedOpens, c.cycles * (c.offMs / 500 + 1));
        EXPECT_EQ(last.descriptors, first.descriptors);
        EXPECT_EQ(last.threads, first.threads);
        // Pages, not bytes: a leak of a few hundred bytes a cycle shows.
        if (residentMemoryTells) {
            EXPECT_LE(last.residentKb, first.residentKb + 32);
        }
    }
}

// The board among its kin: the family's remote, which has the board's IDs,
// listed before it or alone, and the board's own status report, after which
// it sends no loads until its reporting mode is set again. Only the board
// gets output reports, and its loads show.
TEST(FaultsInARun, TheBoardAmongItsKin) {
    const std::string remote = "weigh: found a remote, not the board; switch the board on\n";
    const std::string home = "board 300 00 80 0 0 0 0\n";
    struct Case {
        const char* name;
        std::string script;
        bool starts;
        std::string written;  // taken by a device: the first three bytes of each
        int32_t shownRf;      // a load that must show; 0: none
        std::string said;     // on standard error
    };
    // The third byte of 11 is left over in the buffer from the report before.
    const std::string startUp = "12 00 31, 11 10 31, 12 00 34";
    const Case cases[] = {
        {"a remote listed before the board", "remote\nboard 1500 00 00 100 0 0 0\nboard 1000 00 00 300 0 0 0\n" + home,
         true, startUp, 300, ""},
        {"a remote alone", "remote\nmissing\n", false, "", 0, remote},
        {"a remote beside the board while it is away",
         "remote\nboard 1500 00 00 100 0 0 0\noff 1500\nboard 1500 00 00 250 0 0 0\n" + home, true,
         startUp + ", 11 10 34, 12 00 34", 250, goneNotice + remote + backNotice},
        {"a status report mid-run", "board 1500 00 00 100 0 0 0\nstatus\nboard 1500 00 00 400 0 0 0\n" + home, true,
         startUp + ", 12 00 34", 400, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::FreshRun(c.script);
        testing::internal::CaptureStderr();
        int32_t started = StartWeighing();
        bool shown = false;
        bool ended = started == 1 &&
                     DisplayUntilThreadsEnd([&] { shown = shown || Mrf == c.shownRf; }, std::chrono::seconds(30));
        std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(started, c.starts ? 1 : 0);
        if (c.starts) {
            EXPECT_TRUE(ended) << "the reader did not end on Home";
            EXPECT_TRUE(shown) << "Mrf " << c.shownRf << " never showed";
            EXPECT_TRUE(test::Messages().empty());
        } else {
            EXPECT_EQ(test::Messages(), (std::vector<std::string>{"Wii-Remote not found.", "Wii-Remote cannot open."}));
        }
        EXPECT_EQ(said, c.said);
        std::string taken;
        for (const sim::Call& call : sim::Calls()) {
            EXPECT_NE(call.handle, sim::remoteHandle) << "the remote was opened or used";
            if (call.kind == sim::Call::Write && call.result == 0) {
                char hex[16];
                std::snprintf(hex, sizeof hex, "%02x %02x %02x", call.bytes[0], call.bytes[1], call.bytes[2]);
                taken += (taken.empty() ? "" : ", ") + std::string(hex);
            }
        }
        EXPECT_EQ(taken, c.written);
    }
}

// Reports of the wrong family and of every ID arrive during a real run.
TEST(FaultsInARun, MixedReportIdsDuringARun) {
    std::string script = "board 1400 00 00 100 100 100 100\n";
    for (const char* id : {"20", "21", "22", "30", "31", "32", "33", "35", "36", "37", "38", "3c", "3f"})
        script += std::string("report 30 ") + id + "\n";
    script += "board 300 00 00 200 200 200 200\nboard 300 00 80 200 200 200 200\n";
    test::FreshRun(script);
    ASSERT_EQ(StartWeighing(), 1);
    ASSERT_TRUE(DisplayUntilThreadsEnd([] {}, std::chrono::seconds(10)));
    EXPECT_EQ(test::Pass(), "0,128, Msum  8.0(kg), Mrf  200, Mrb  200, Mlf  200, Mlb  200\n");
}

// Ten thousand reports as fast as the reader takes them, while the display
// reads the state: every one is taken and the last one is shown.
TEST(FaultsInARun, BurstOfTenThousandReports) {
    test::FreshRun("board 1500 00 00 1 1 1 1\nsilent\n");
    ASSERT_EQ(StartWeighing(), 1);
    EXPECT_TRUE(test::WaitFor([] { return sim::BoardClockMs() > 1600; }));
    int64_t before = sim::ReportsDelivered();
    for (int i = 0; i < 10000; ++i)
        test::Push(Loads(0, i % 65536, 2, 3, 4));
    test::Push(Loads(homeButton, 9, 8, 7, 6));
    EXPECT_TRUE(test::WaitFor(
        [] {
        DisplayPass();
        return TestLiveThreads() == 0;
        },
        std::chrono::seconds(60)));
    EXPECT_EQ(sim::ReportsDelivered() - before, 10001);
    EXPECT_EQ(test::Pass(), "0,128, Msum  0.3(kg), Mrf    9, Mrb    8, Mlf    7, Mlb    6\n");
}

}  // namespace
