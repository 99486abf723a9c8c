// Decoding input reports into DeviceState, and the two output reports, as
// they pass through the HID access interface.
#include <gtest/gtest.h>

#include "device/padwire.h"
#include "device/reports.h"
#include "support.h"

namespace {

struct Fields {
    int buttons1, buttons2, accelX, rf, rb, lf, lb;
    bool operator==(const Fields&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Fields& f) {
    return out << "{" << f.buttons1 << "," << f.buttons2 << ", accel " << f.accelX << ", " << f.rf << ","
               << f.rb << "," << f.lf << "," << f.lb << "}";
}

Fields Current() {
    return {DeviceState.buttons1, DeviceState.buttons2, DeviceState.accelX, DeviceState.rawRf,
            DeviceState.rawRb,    DeviceState.rawLf,    DeviceState.rawLb};
}

constexpr Fields before{0xAA, 0xBB, 0xCC, 1111, 2222, 3333, 4444};

void SetFields(const Fields& f) {
    test::SetBoardState(f.buttons1, f.buttons2, f.rf, f.rb, f.lf, f.lb, f.accelX);
}

class Decoding : public ::testing::Test {
protected:
    void SetUp() override {
        test::FreshRun("silent\n");  // no report but the ones a test pushes
        test::SetDeviceHandle(OpenHidHandle(boardVendorId, boardProductId));
        ASSERT_NE(deviceHandle, -1);
        SetFields(before);
    }
    Fields Decode(std::initializer_list<int> bytes) {
        test::Push(test::Report(bytes));
        ReadDeviceReport();
        return Current();
    }
};

// Bytes 3..10 of every report below: loads 0x0010 0x0020 0x0100 0x0200.
#define LOADS 0x00, 0x10, 0x00, 0x20, 0x01, 0x00, 0x02, 0x00

struct Case {
    const char* name;
    std::vector<int> bytes;
    Fields expected;
};

TEST_F(Decoding, EachReportIdUpdatesTheFieldsItsBitsName) {
    const std::vector<Case> cases = {
        {"status 0x20", {0x20, 0x01, 0x02, LOADS}, before},
        {"memory 0x21", {0x21, 0x01, 0x02, LOADS}, before},
        {"ack 0x22", {0x22, 0x01, 0x02, LOADS}, before},
        {"0x00", {0x00, 0x01, 0x02, LOADS}, before},
        {"0x40", {0x40, 0x01, 0x02, LOADS}, before},
        {"0xF4", {0xF4, 0x01, 0x02, LOADS}, before},
        {"0x30 buttons only", {0x30, 0x01, 0x02, LOADS}, {0x01, 0x02, 0xCC, 1111, 2222, 3333, 4444}},
        {"0x32 buttons only", {0x32, 0x01, 0x02, LOADS}, {0x01, 0x02, 0xCC, 1111, 2222, 3333, 4444}},
        {"0x31 accelerometer", {0x31, 0x01, 0x02, LOADS}, {0x01, 0x02, 0x00, 1111, 2222, 3333, 4444}},
        {"0x33 accelerometer", {0x33, 0x01, 0x02, 0x7F}, {0x01, 0x02, 0x7F, 1111, 2222, 3333, 4444}},
        {"0x34 loads", {0x34, 0x01, 0x02, LOADS}, {0x01, 0x02, 0xCC, 16, 32, 256, 512}},
        {"0x36 loads", {0x36, 0x00, 0x08, LOADS}, {0x00, 0x08, 0xCC, 16, 32, 256, 512}},
        {"0x35 byte 3 is both", {0x35, 0x01, 0x02, 0x9A, 0xBC, 0, 1, 0, 2, 0, 3},
         {0x01, 0x02, 0x9A, 0x9ABC, 1, 2, 3}},
        {"0x37 both", {0x37, 0x01, 0x02, LOADS}, {0x01, 0x02, 0x00, 16, 32, 256, 512}},
        {"0x38 neither", {0x38, 0x01, 0x02, LOADS}, {0x01, 0x02, 0xCC, 1111, 2222, 3333, 4444}},
        {"0x39 accelerometer", {0x39, 0x01, 0x02, 0x44}, {0x01, 0x02, 0x44, 1111, 2222, 3333, 4444}},
        {"0x3C loads", {0x3C, 0x01, 0x02, LOADS}, {0x01, 0x02, 0xCC, 16, 32, 256, 512}},
        {"0x3F both", {0x3F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
         {0xFF, 0xFF, 0xFF, 65535, 65535, 65535, 65535}},
        {"FF FF is 65535, never negative", {0x34, 0, 0, 0xFF, 0xFF, 0x80, 0x00, 0x7F, 0xFF, 0x00, 0x01},
         {0, 0, 0xCC, 65535, 32768, 32767, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetFields(before);
        // Clear the tail left by an earlier case so that short reports
        // decode only their own bytes.
        std::fill(std::begin(inReport), std::end(inReport), 0);
        std::vector<uint8_t> report(c.bytes.begin(), c.bytes.end());
        test::Push(report);
        ReadDeviceReport();
        EXPECT_EQ(Current(), c.expected);
    }
}

TEST_F(Decoding, TheLastAccelerometerByteWins) {
    EXPECT_EQ(Decode({0x31, 0, 0, 0x80}).accelX, 0x80);
    EXPECT_EQ(Decode({0x31, 0, 0, 0x00}).accelX, 0x00);
    EXPECT_EQ(Decode({0x30, 0, 0}).accelX, 0x00);
}

TEST_F(Decoding, ButtonsOnlyReportKeepsTheLoads) {
    Decode({0x34, 0, 0, LOADS});
    Fields after = Decode({0x30, 0x00, 0x08});
    EXPECT_EQ(after, (Fields{0x00, 0x08, 0xCC, 16, 32, 256, 512}));
}

// A short report leaves the tail of the buffer as the last longer one left
// it, and the decode reads those bytes: the buffer is the program's state.
TEST_F(Decoding, ShortReportDecodesTheBufferAsItStands) {
    Decode({0x34, 0, 0, LOADS});
    Fields after = Decode({0x34, 0x01, 0x02, 0x00, 0x11});
    EXPECT_EQ(after, (Fields{0x01, 0x02, 0xCC, 0x11, 32, 256, 512}));
}

TEST_F(Decoding, FailedReadReappliesThePreviousReport) {
    Decode({0x34, 0, 0, LOADS});
    SetFields(before);
    int32_t open = deviceHandle;
    test::SetDeviceHandle(-1);  // every call on -1 fails at once
    ReadDeviceReport();
    test::SetDeviceHandle(open);
    EXPECT_EQ(Current(), (Fields{0, 0, 0xCC, 16, 32, 256, 512}));
}

TEST_F(Decoding, ReadBeforeAnyReportChangesNothing) {
    test::SetDeviceHandle(-1);
    ReadDeviceReport();
    EXPECT_EQ(Current(), before);
}

TEST(OutputReports, EachOverwritesOnlyItsOwnLeadingBytes) {
    test::FreshRun("silent\n");
    test::SetDeviceHandle(OpenHidHandle(boardVendorId, boardProductId));
    SetReportMode(noFlags, accelerometerMode);
    SetLeds(firstLed);
    SetReportMode(0x100, 0x134);  // only the low bytes go out
    SetLeds(0x301);
    std::vector<std::string> written = test::WrittenReports(4);
    ASSERT_EQ(written.size(), 4u);
    EXPECT_EQ(written[0], "12 00 31 00");
    EXPECT_EQ(written[1], "11 10 31 00");
    EXPECT_EQ(written[2], "12 00 34 00");
    EXPECT_EQ(written[3], "11 01 34 00");
}

// The names the backends choose by: Windows gives a product string of
// wchar_t, hidraw a uevent line of char; both compare exactly.
TEST(BoardNames, TheBoardFirstOthersIfNoBoardTheRemoteNever) {
    struct Case {
        const wchar_t* wide;
        const char* narrow;
        int32_t expected;
    };
    const Case cases[] = {
        {L"Nintendo RVL-WBC-01", "Nintendo RVL-WBC-01", takenFirst},
        {L"Nintendo RVL-CNT-01", "Nintendo RVL-CNT-01", takenNever},
        {L"Nintendo RVL-WBC-0", "Nintendo RVL-WBC-0", takenIfNoBoard},
        {L"Nintendo RVL-CNT-01 ", "Nintendo RVL-CNT-01 ", takenIfNoBoard},
        {L"nintendo rvl-wbc-01", "nintendo rvl-wbc-01", takenIfNoBoard},
        {L"", "", takenIfNoBoard},
        {nullptr, nullptr, takenIfNoBoard},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PreferenceByName(c.wide), c.expected) << (c.narrow ? c.narrow : "no name");
        EXPECT_EQ(PreferenceByName(c.narrow), c.expected) << (c.narrow ? c.narrow : "no name");
    }
}

}  // namespace
