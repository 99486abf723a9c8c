// The busy wait, the open check and the two readers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "acquisition/acquisition.h"
#include "console/console.h"
#include "device/padwire.h"
#include "device/reports.h"
#include "platform/platform.h"
#include "support.h"

namespace {

using namespace std::chrono_literals;

void OpenBoard() {
    test::SetDeviceHandle(OpenHidHandle(boardVendorId, boardProductId));
    ASSERT_NE(deviceHandle, -1);
}

TEST(WaitMs, WaitsMoreThanAskedAndReturns) {
    for (int ms : {0, 1, 5, 20}) {
        auto start = std::chrono::steady_clock::now();
        WaitMs(ms);
        auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_GE(waited, std::chrono::milliseconds(ms)) << ms << " ms";
    }
}

struct ProbeCase {
    const char* name;
    const char* script;
    int32_t answered;
};

// The board is in mode 0x31 for the check, as the start-up leaves it.
TEST(ProbeDevice, AnswersOnlyWhenTheAccelerometerByteIsNonZero) {
    const std::vector<ProbeCase> cases = {
        {"answering board", "board 5000 00 00 0 0 0 0\n", 1},
        {"board answering late in the window", "silent 40\nboard 5000 00 00 0 0 0 0\n", 1},
        // As an earlier run left it, obeying the change to 0x31 only after
        // two of its 0x34 reports: those are read past.
        {"board still streaming 0x34, changing mode 20 ms late", "mode 34\nlatency 20\nboard 5000 00 00 0 0 0 0\n", 1},
        {"silent board", "silent\n", 0},
        {"buttons-only reports", "report 5000 30\n", 0},
        {"accelerometer byte 0", "accel 00\nboard 5000 00 00 0 0 0 0\n", 0},
        {"reports of another family", "report 5000 21\n", 0},
        {"unplugged board", "unplugged\n", 0},
    };
    for (const ProbeCase& c : cases) {
        SCOPED_TRACE(c.name);
        test::FreshRun(c.script);
        OpenBoard();
        SetReportMode(noFlags, accelerometerMode);
        DeviceState.accelX = 0x55;  // cleared by the check itself
        EXPECT_EQ(ProbeDevice(), c.answered);
        EXPECT_EQ(runFlag.load(), 0);
        StopProbe();
        EXPECT_EQ(TestLiveThreads(), 0);
        test::ExpectNoReadRunsOn();
    }
}

TEST(ProbeDevice, ProbeLeavesByItselfOnceTheWindowHasClosed) {
    test::FreshRun("board 5000 00 00 0 0 0 0\n");
    OpenBoard();
    SetReportMode(noFlags, accelerometerMode);
    EXPECT_EQ(ProbeDevice(), 1);
    EXPECT_TRUE(test::WaitFor([] { return probeActive.load() == 0; }));
    EXPECT_TRUE(test::WaitForProgramThreads());
    StopProbe();  // joins a thread that has ended; never kills
    EXPECT_EQ(probeThread, 0u);
}

TEST(StopProbe, DoesNothingWithoutAProbe) {
    test::FreshRun("");
    StopProbe();
    EXPECT_EQ(probeThread, 0u);
    EXPECT_EQ(TestLiveThreads(), 0);
}

// A probe blocked in a read that never returns is ended by force, and once
// StopProbe returns it makes no further call on the device.
TEST(StopProbe, EndsAProbeBlockedInARead) {
    test::FreshRun("silent\n");
    OpenBoard();
    EXPECT_EQ(ProbeDevice(), 0);
    EXPECT_EQ(probeActive.load(), 1);
    EXPECT_EQ(sim::ReadsInside(), 1);
    StopProbe();
    EXPECT_EQ(TestLiveThreads(), 0);
    test::ExpectNoReadRunsOn();
    EXPECT_EQ(probeThread, 0u);
    StopProbe();  // a second call finds no thread and does nothing
    EXPECT_EQ(CloseHidHandle(deviceHandle), 0);
}

// The probe preempted at its start until after the window has closed and
// the failed-open path has reached StopProbe, as on a loaded machine or a
// slow VM: the path still ends, and no read runs on.
TEST(StopProbe, EndsAProbeHeldAtItsStartPastTheWindow) {
    test::FreshRun("silent\n");
    testProbeStartHook = [] {
        while (runFlag.load() != 0)
            std::this_thread::sleep_for(1ms);
        std::this_thread::sleep_for(200ms);
    };
    std::atomic<bool> ended{false};
    std::thread run([&] {
        EXPECT_EQ(WeighMain(), 1);
        ended = true;
    });
    bool endedInTime = test::WaitFor([&] { return ended.load(); });
    if (!endedInTime)  // the probe is in a read that never returns: free it
        test::Push(test::Report({0x30, 0, 0}));
    run.join();
    EXPECT_TRUE(endedInTime) << "the failed-open path waited for a probe that went on reading";
    EXPECT_EQ(test::Messages(), std::vector<std::string>{"Wii-Remote cannot open."});
    EXPECT_TRUE(test::WaitForProgramThreads());
    test::ExpectNoReadRunsOn();
}

void StartReader() {
    PlatformStartDetachedThread(ReadLoopThread);
}

std::vector<uint8_t> Buttons(int buttons2, int load) {
    return test::Report({0x34, 0, buttons2, load >> 8, load & 0xFF, 0, 0, 0, 0, 0, 0});
}

struct EndCase {
    int buttons2;
    bool ends;
};

TEST(ReadLoopThread, EndsOnHomeAloneOnly) {
    for (EndCase c : {EndCase{0x88, false}, EndCase{0x81, false}, EndCase{0xC0, false}, EndCase{0x80, true}}) {
        SCOPED_TRACE(c.buttons2);
        test::FreshRun("silent\n");
        OpenBoard();
        StartReader();
        test::Push(Buttons(c.buttons2, 7));
        ASSERT_TRUE(test::WaitFor([] { return DeviceState.rawRf.load() == 7; }));
        EXPECT_EQ(DeviceState.buttons2.load(), c.buttons2);
        if (c.ends) {
            EXPECT_TRUE(test::WaitForProgramThreads());
            continue;
        }
        // Still reading: a later report is decoded, then Home alone ends it.
        test::Push(Buttons(0x00, 9));
        EXPECT_TRUE(test::WaitFor([] { return DeviceState.rawRf.load() == 9; }));
        test::Push(Buttons(0x80, 11));
        EXPECT_TRUE(test::WaitForProgramThreads());
        EXPECT_EQ(DeviceState.rawRf.load(), 11);
    }
}

TEST(ReadLoopThread, KeepsLastValuesAfterItEnds) {
    test::FreshRun("silent\n");
    OpenBoard();
    StartReader();
    test::Push(Buttons(0x80, 1234));
    ASSERT_TRUE(test::WaitForProgramThreads());
    test::Push(Buttons(0x00, 99));  // nobody reads it
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(DeviceState.rawRf.load(), 1234);
    EXPECT_EQ(DeviceState.buttons2.load(), 0x80);
}

// The probe answers late in its window, so it is still in its 100 ms sleep
// when the continuous reader raises runFlag; it must not read beside it.
TEST(ReadLoopThread, NeverReadsBesideTheProbe) {
    for (const char* script : {"silent 30\nboard 600 00 00 5 5 5 5\nboard 300 00 80 5 5 5 5\n",
                               "silent 60\nboard 600 00 00 5 5 5 5\nboard 300 00 80 5 5 5 5\n",
                               "board 600 00 00 5 5 5 5\nboard 300 00 80 5 5 5 5\n"}) {
        SCOPED_TRACE(script);
        test::FreshRun(script);
        OpenBoard();
        SetReportMode(noFlags, accelerometerMode);
        ASSERT_EQ(ProbeDevice(), 1);
        SetReportMode(noFlags, weighingMode);
        StartReader();
        EXPECT_TRUE(test::WaitForProgramThreads());
        EXPECT_EQ(sim::MostConcurrentReads(), 1);
        EXPECT_EQ(DeviceState.buttons2.load(), 0x80);
        EXPECT_EQ(probeThread, 0u);
    }
}

}  // namespace
