// The busy wait, the open check and the two readers.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "acquisition/acquisition.h"
#include "console/console.h"
#include "device/padwire.h"
#include "device/reports.h"
#include "platform/platform.h"
#include "support.h"

namespace {

using namespace std::chrono_literals;

// A fresh run with the board of script open and, when a mode is given, in
// it: the open check's is 0x31, as the start-up leaves it.
void OpenBoard(const std::string& script, int32_t mode = -1) {
    test::FreshRun(script);
    test::SetDeviceHandle(OpenHidHandle(boardVendorId, boardProductId));
    ASSERT_NE(deviceHandle, -1);
    if (mode != -1)
        SetReportMode(noFlags, mode);
}

// Ends the probe: no thread of it is left, and no read of it runs on.
void ExpectProbeEnded() {
    StopProbe();
    EXPECT_EQ(TestLiveThreads(), 0);
    test::ExpectNoReadRunsOn();
    EXPECT_EQ(probeThread, 0u);
}

TEST(WaitMs, WaitsMoreThanAskedAndReturns) {
    for (int ms : {0, 1, 5, 20}) {
        auto start = std::chrono::steady_clock::now();
        WaitMs(ms);
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(ms)) << ms << " ms";
    }
}

TEST(ProbeDevice, AnswersOnlyWhenTheAccelerometerByteIsNonZero) {
    const struct {
        const char* name;
        const char* script;
        int32_t answered;
    } cases[] = {
        {"answering board", "board 5000 00 00 0 0 0 0\n", 1},
        {"board answering late in the window", "silent 40\nboard 5000 00 00 0 0 0 0\n", 1},
        // As an earlier run left it: two 0x34 reports before it obeys 0x31.
        {"board still streaming 0x34, changing mode 20 ms late", "mode 34\nlatency 20\nboard 5000 00 00 0 0 0 0\n", 1},
        {"silent board", "silent\n", 0},
        {"buttons-only reports", "report 5000 30\n", 0},
        {"accelerometer byte 0", "accel 00\nboard 5000 00 00 0 0 0 0\n", 0},
        {"reports of another family", "report 5000 21\n", 0},
        {"unplugged board", "unplugged\n", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        OpenBoard(c.script, accelerometerMode);
        DeviceState.accelX = 0x55;  // cleared by the check itself
        EXPECT_EQ(ProbeDevice(), c.answered);
        EXPECT_EQ(runFlag.load(), 0);
        ExpectProbeEnded();
    }
}

TEST(ProbeDevice, ProbeLeavesByItselfOnceTheWindowHasClosed) {
    OpenBoard("board 5000 00 00 0 0 0 0\n", accelerometerMode);
    EXPECT_EQ(ProbeDevice(), 1);
    EXPECT_TRUE(test::WaitFor([] { return probeActive.load() == 0 && TestLiveThreads() == 0; }));
    ExpectProbeEnded();  // joins a thread that has ended; never kills
}

TEST(StopProbe, DoesNothingWithoutAProbe) {
    test::FreshRun("");
    ExpectProbeEnded();
}

// Blocked in a read that never returns, the probe is ended by force and
// makes no further call on the device.
TEST(StopProbe, EndsAProbeBlockedInARead) {
    OpenBoard("silent\n");
    EXPECT_EQ(ProbeDevice(), 0);
    EXPECT_EQ(probeActive.load(), 1);
    EXPECT_EQ(sim::ReadsInside(), 1);
    ExpectProbeEnded();
    StopProbe();  // a second call finds no thread and does nothing
    EXPECT_EQ(CloseHidHandle(deviceHandle), 0);
}

// The probe preempted at its start until the failed-open path has reached
// StopProbe, as on a loaded machine: the path still ends, no read runs on.
TEST(StopProbe, EndsAProbeHeldAtItsStartPastTheWindow) {
    test::FreshRun("silent\n");
    testProbeStartHook = [] {
        while (runFlag.load() != 0)
            std::this_thread::sleep_for(1ms);
        std::this_thread::sleep_for(200ms);
    };
    std::future<int> run = std::async(std::launch::async, WeighMain);
    bool endedInTime = run.wait_for(10s) == std::future_status::ready;
    if (!endedInTime)  // the probe is in a read that never returns: free it
        test::Push(test::Report({0x30, 0, 0}));
    EXPECT_EQ(run.get(), 1);
    EXPECT_TRUE(endedInTime) << "the failed-open path waited for a probe that went on reading";
    EXPECT_EQ(test::Messages(), std::vector<std::string>{"Wii-Remote cannot open."});
    EXPECT_TRUE(test::WaitForProgramThreads());
    test::ExpectNoReadRunsOn();
}

std::vector<uint8_t> Buttons(int buttons2, int load) {
    return test::Report({0x34, 0, buttons2, load >> 8, load & 0xFF, 0, 0, 0, 0, 0, 0});
}

TEST(ReadLoopThread, EndsOnHomeAloneOnly) {
    for (int buttons2 : {0x88, 0x81, 0xC0, 0x80}) {
        SCOPED_TRACE(buttons2);
        OpenBoard("silent\n");
        PlatformStartDetachedThread(ReadLoopThread);
        test::Push(Buttons(buttons2, 7));
        ASSERT_TRUE(test::WaitFor([] { return DeviceState.rawRf.load() == 7; }));
        EXPECT_EQ(DeviceState.buttons2.load(), buttons2);
        if (buttons2 != 0x80) {  // still reading: a later report is decoded, then Home alone ends it
            test::Push(Buttons(0x00, 9));
            EXPECT_TRUE(test::WaitFor([] { return DeviceState.rawRf.load() == 9; }));
            test::Push(Buttons(0x80, 11));
        }
        EXPECT_TRUE(test::WaitForProgramThreads());
        EXPECT_EQ(DeviceState.rawRf.load(), buttons2 == 0x80 ? 7 : 11);
    }
}

TEST(ReadLoopThread, KeepsLastValuesAfterItEnds) {
    OpenBoard("silent\n");
    PlatformStartDetachedThread(ReadLoopThread);
    test::Push(Buttons(0x80, 1234));
    ASSERT_TRUE(test::WaitForProgramThreads());
    test::Push(Buttons(0x00, 99));  // nobody reads it
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(DeviceState.rawRf.load(), 1234);
    EXPECT_EQ(DeviceState.buttons2.load(), 0x80);
}

// Answering late in its window, the probe is still in its 100 ms sleep when
// the continuous reader raises runFlag; it must not read beside it.
TEST(ReadLoopThread, NeverReadsBesideTheProbe) {
    for (const char* delay : {"silent 30\n", "silent 60\n", ""}) {
        SCOPED_TRACE(delay);
        OpenBoard(std::string(delay) + "board 600 00 00 5 5 5 5\nboard 300 00 80 5 5 5 5\n", accelerometerMode);
        ASSERT_EQ(ProbeDevice(), 1);
        SetReportMode(noFlags, weighingMode);
        PlatformStartDetachedThread(ReadLoopThread);
        EXPECT_TRUE(test::WaitForProgramThreads());
        EXPECT_EQ(sim::MostConcurrentReads(), 1);
        EXPECT_EQ(DeviceState.buttons2.load(), 0x80);
        EXPECT_EQ(probeThread, 0u);
    }
}

}  // namespace
