// Decoding input reports into DeviceState, and the two output reports, as
// they pass through the HID access interface.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "device/padwire.h"
#include "device/reports.h"
#include "support.h"

namespace {

// The button bytes, the accelerometer byte, then loads rf, rb, lf, lb.
using Fields = std::array<int, 7>;
constexpr size_t accel = 2;

Fields Current() {
    return {DeviceState.buttons1, DeviceState.buttons2, DeviceState.accelX, DeviceState.rawRf,
            DeviceState.rawRb,    DeviceState.rawLf,    DeviceState.rawLb};
}

constexpr Fields before{0xAA, 0xBB, 0xCC, 1111, 2222, 3333, 4444};

void SetFields(const Fields& f) {
    test::SetBoardState(f[0], f[1], f[3], f[4], f[5], f[6], f[accel]);
}

class Decoding : public ::testing::Test {
protected:
    void SetUp() override {
        test::FreshRun("silent\n");  // no report but the ones a test pushes
        test::SetDeviceHandle(OpenHidHandle(boardVendorId, boardProductId));
        ASSERT_NE(deviceHandle, -1);
        SetFields(before);
    }
    Fields Decode(const std::vector<int>& bytes) {
        test::Push(std::vector<uint8_t>(bytes.begin(), bytes.end()));
        ReadDeviceReport();
        return Current();
    }
};

// Bytes 3..10 of most reports below: loads 0x0010 0x0020 0x0100 0x0200.
#define LOADS 0x00, 0x10, 0x00, 0x20, 0x01, 0x00, 0x02, 0x00

TEST_F(Decoding, EachReportIdUpdatesTheFieldsItsBitsName) {
    // Reports 01 02 LOADS, by ID.
    const std::vector<std::pair<std::vector<int>, Fields>> byId = {
        {{0x20, 0x21, 0x22, 0x00, 0x40, 0xF4}, before},                    // status, memory, ack, other families
        {{0x30, 0x32, 0x38}, {0x01, 0x02, 0xCC, 1111, 2222, 3333, 4444}},  // buttons only
        {{0x31}, {0x01, 0x02, 0x00, 1111, 2222, 3333, 4444}},              // accelerometer
        {{0x34, 0x3C}, {0x01, 0x02, 0xCC, 16, 32, 256, 512}},              // loads
        {{0x37}, {0x01, 0x02, 0x00, 16, 32, 256, 512}},                    // both
    };
    for (const auto& [ids, expected] : byId)
        for (int id : ids) {
            SetFields(before);
            EXPECT_EQ(Decode({id, 0x01, 0x02, LOADS}), expected) << "report " << std::hex << id;
        }
    const struct {
        const char* name;
        std::vector<int> bytes;
        Fields expected;
    } cases[] = {
        {"0x33 accelerometer", {0x33, 0x01, 0x02, 0x7F}, {0x01, 0x02, 0x7F, 1111, 2222, 3333, 4444}},
        {"0x36 loads", {0x36, 0x00, 0x08, LOADS}, {0x00, 0x08, 0xCC, 16, 32, 256, 512}},
        {"0x35 byte 3 is both", {0x35, 0x01, 0x02, 0x9A, 0xBC, 0, 1, 0, 2, 0, 3}, {0x01, 0x02, 0x9A, 0x9ABC, 1, 2, 3}},
        {"0x39 accelerometer", {0x39, 0x01, 0x02, 0x44}, {0x01, 0x02, 0x44, 1111, 2222, 3333, 4444}},
        {"0x3F both",
         {0x3F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
         {0xFF, 0xFF, 0xFF, 65535, 65535, 65535, 65535}},
        {"FF FF is 65535, never negative",
         {0x34, 0, 0, 0xFF, 0xFF, 0x80, 0x00, 0x7F, 0xFF, 0x00, 0x01},
         {0, 0, 0xCC, 65535, 32768, 32767, 1}},
    };
    // A short report decodes only its own bytes past a cleared tail.
    for (const auto& c : cases) {
        SetFields(before);
        std::memset(inReport, 0, sizeof inReport);
        EXPECT_EQ(Decode(c.bytes), c.expected) << c.name;
    }
}

TEST_F(Decoding, TheLastAccelerometerByteWins) {
    EXPECT_EQ(Decode({0x31, 0, 0, 0x80})[accel], 0x80);
    EXPECT_EQ(Decode({0x31, 0, 0, 0x00})[accel], 0x00);
    EXPECT_EQ(Decode({0x30, 0, 0})[accel], 0x00);
}

TEST_F(Decoding, ButtonsOnlyReportKeepsTheLoads) {
    Decode({0x34, 0, 0, LOADS});
    EXPECT_EQ(Decode({0x30, 0x00, 0x08}), (Fields{0x00, 0x08, 0xCC, 16, 32, 256, 512}));
}

// A short report leaves the tail of the buffer as the last longer one left
// it, and the decode reads those bytes: the buffer is the program's state.
TEST_F(Decoding, ShortReportDecodesTheBufferAsItStands) {
    Decode({0x34, 0, 0, LOADS});
    EXPECT_EQ(Decode({0x34, 0x01, 0x02, 0x00, 0x11}), (Fields{0x01, 0x02, 0xCC, 0x11, 32, 256, 512}));
}

TEST_F(Decoding, FailedReadReappliesThePreviousReport) {
    Decode({0x34, 0, 0, LOADS});
    SetFields(before);
    test::SetDeviceHandle(-1);  // every call on -1 fails at once
    ReadDeviceReport();
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
    EXPECT_EQ(test::WrittenReports(4),
              (std::vector<std::string>{"12 00 31 00", "11 10 31 00", "12 00 34 00", "11 01 34 00"}));
}

// The names the backends choose by: Windows gives a product string of
// wchar_t, hidraw a uevent line of char; both compare exactly.
TEST(BoardNames, TheBoardFirstOthersIfNoBoardTheRemoteNever) {
    const std::pair<const char*, int32_t> cases[] = {
        {"Nintendo RVL-WBC-01", takenFirst},
        {"Nintendo RVL-CNT-01", takenNever},
        {"Nintendo RVL-WBC-0", takenIfNoBoard},
        {"Nintendo RVL-CNT-01 ", takenIfNoBoard},
        {"nintendo rvl-wbc-01", takenIfNoBoard},
        {"", takenIfNoBoard},
        {nullptr, takenIfNoBoard},
    };
    for (auto [narrow, expected] : cases) {
        std::wstring wide = narrow ? std::wstring(narrow, narrow + std::strlen(narrow)) : L"";
        EXPECT_EQ(PreferenceByName(narrow ? wide.c_str() : nullptr), expected) << (narrow ? narrow : "no name");
        EXPECT_EQ(PreferenceByName(narrow), expected) << (narrow ? narrow : "no name");
    }
}

}  // namespace
