// Faults a board or a broken link can hand the program: reports of other
// families and of every ID, short and long reads, a board that stops or is
// unplugged mid-run, and a flood of reports.
#include <gtest/gtest.h>

#include <cstring>

#include "acquisition/acquisition.h"
#include "console/console.h"
#include "device/padwire.h"
#include "device/reports.h"
#include "platform/platform.h"
#include "support.h"

namespace {

std::vector<uint8_t> Loads(int id, int buttons2, int rf, int rb, int lf, int lb) {
    return test::Report({id, 0, buttons2, rf >> 8, rf & 0xFF, rb >> 8, rb & 0xFF, lf >> 8, lf & 0xFF, lb >> 8,
                         lb & 0xFF});
}

void EndReaderWithHome() {
    test::Push(Loads(0x30, 0x80, 0, 0, 0, 0));
    EXPECT_TRUE(test::WaitForProgramThreads());
}

class Faults : public ::testing::Test {
protected:
    void SetUp() override {
        test::FreshRun("silent\n");
        deviceHandle = OpenHidHandle(0x057E, 0x0306);
        ASSERT_NE(deviceHandle, -1);
    }
};

// Reports of the status, memory and acknowledgement kind change nothing,
// whatever bytes they carry, between reports that do.
TEST_F(Faults, OtherFamilyBetweenGoodReportsChangesNothing) {
    test::Push(Loads(0x34, 0x00, 100, 200, 300, 400));
    ReadDeviceReport();
    for (int id : {0x20, 0x21, 0x22}) {
        SCOPED_TRACE(id);
        test::Push(Loads(id, 0xFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF));
        ReadDeviceReport();
        EXPECT_EQ(DeviceState.buttons2.load(), 0);
        EXPECT_EQ(DeviceState.rawRf.load(), 100);
        EXPECT_EQ(DeviceState.rawLb.load(), 400);
    }
    test::Push(Loads(0x34, 0x08, 1, 2, 3, 4));
    ReadDeviceReport();
    EXPECT_EQ(DeviceState.buttons2.load(), 0x08);
    EXPECT_EQ(DeviceState.rawLb.load(), 4);
}

// Every ID of the 0x30 family sets the buttons, accelX when bit 0 is set
// and the loads when bit 2 is set, from the same fixed byte positions.
TEST_F(Faults, EveryIdOfTheFamilyByItsBits) {
    for (int id = 0x30; id <= 0x3F; ++id) {
        SCOPED_TRACE(id);
        DeviceState.accelX = 0x11;
        DeviceState.rawRf = 7;
        DeviceState.rawLb = 7;
        test::Push(Loads(id, 0x40, 0xABCD, 2, 3, 0x1234));
        ReadDeviceReport();
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
    test::Push(Loads(0x34, 0x08, 100, 200, 300, 400));
    ReadDeviceReport();
    test::Push({});  // 0 bytes: the buffer as it was, decoded again
    ReadDeviceReport();
    EXPECT_EQ(DeviceState.rawRf.load(), 100);
    EXPECT_EQ(DeviceState.buttons2.load(), 0x08);
    test::Push(test::Report({0x30}));  // 1 byte: the ID alone
    ReadDeviceReport();
    EXPECT_EQ(DeviceState.buttons2.load(), 0x08);  // byte 2 left from before
    test::Push(test::Report({0x34, 0x05}));  // 2 bytes
    ReadDeviceReport();
    EXPECT_EQ(DeviceState.buttons1.load(), 0x05);
    EXPECT_EQ(DeviceState.rawLb.load(), 400);
    std::vector<uint8_t> full(256, 0xFF);
    full[0] = 0x37;
    test::Push(full);
    ReadDeviceReport();
    EXPECT_EQ(DeviceState.accelX.load(), 0xFF);
    EXPECT_EQ(DeviceState.rawLb.load(), 65535);
    EXPECT_EQ(inReport[255], 0xFF);
}

// A board that stops mid-run: the read-out goes on with the last values.
TEST(FaultsInARun, BoardFallsSilentMidRun) {
    test::FreshRun("board 1500 00 00 10 20 30 40\nsilent\n");
    ASSERT_EQ(StartWeighing(), 1);
    EXPECT_TRUE(test::WaitFor([] { return sim::BoardClockMs() > 1700; }));
    std::string line = test::Pass();
    EXPECT_EQ(line, "0,0, Msum  1.0(kg), Mrf   10, Mrb   20, Mlf   30, Mlb   40\n");
    EXPECT_EQ(sim::ReadsInside(), 1);  // the reader waits, it does not spin
    EndReaderWithHome();
}

// Unplugged or switched off mid-run: every read fails at once and the
// previous report is decoded again, so the values hold. The reader pauses
// after each failed read: over the second the board is gone it makes about
// a hundred, where a reader that spins on them makes millions.
TEST(FaultsInARun, BoardUnpluggedMidRun) {
    test::FreshRun("board 1500 00 00 10 20 30 40\nboard 300 00 00 50 60 70 80\nunplugged 1000\n"
                   "board 5000 00 80 50 60 70 80\n");
    ASSERT_EQ(StartWeighing(), 1);
    ASSERT_TRUE(test::WaitFor([] { return sim::ReadsFailed() > 0; }));
    EXPECT_EQ(test::Pass(), "0,0, Msum  2.6(kg), Mrf   50, Mrb   60, Mlf   70, Mlb   80\n");
    // Back after the second: the reader reads Home and ends.
    ASSERT_TRUE(test::WaitForProgramThreads());
    EXPECT_EQ(DeviceState.buttons2.load(), 0x80);
    EXPECT_LE(sim::ReadsFailed(), 500);
}

// Reports of the wrong family and of every ID arrive during a real run.
TEST(FaultsInARun, MixedReportIdsDuringARun) {
    std::string script = "board 1400 00 00 100 100 100 100\n";
    for (int id : {0x20, 0x21, 0x22, 0x30, 0x31, 0x32, 0x33, 0x35, 0x36, 0x37, 0x38, 0x3C, 0x3F}) {
        char line[32];
        std::snprintf(line, sizeof line, "report 30 %02x\n", id);
        script += line;
    }
    script += "board 300 00 00 200 200 200 200\nboard 300 00 80 200 200 200 200\n";
    test::FreshRun(script);
    ASSERT_EQ(StartWeighing(), 1);
    ASSERT_TRUE(test::WaitFor([] {
        DisplayPass();
        PlatformSleep(1);
        return PlatformLiveThreads() == 0;
    }));
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
        test::Push(Loads(0x34, 0, i % 65536, 2, 3, 4));
    test::Push(Loads(0x34, 0x80, 9, 8, 7, 6));
    EXPECT_TRUE(test::WaitFor([] {
        DisplayPass();
        return PlatformLiveThreads() == 0;
    }, std::chrono::seconds(60)));
    EXPECT_EQ(sim::ReportsDelivered() - before, 10001);
    EXPECT_EQ(test::Pass(), "0,128, Msum  0.3(kg), Mrf    9, Mrb    8, Mlf    7, Mlb    6\n");
}

}  // namespace
