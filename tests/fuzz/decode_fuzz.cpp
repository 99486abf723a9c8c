// Any bytes as one input report, handed to the program through the HID
// access interface as the reader receives them. After each report,
// DeviceState must be what the decoding rules make of the buffer: the ID's
// bits name the fields that change, and no other field moves.
#include <cstdint>
#include <cstring>
#include <string>

#include "rule.h"
#include "device/padwire.h"
#include "device/reports.h"
#include "sim/board.h"
#include "tests/program_state.h"

namespace {

struct Snapshot {
    int buttons1, buttons2, accelX, raw[4];
};

Snapshot Take() {
    return {DeviceState.buttons1,
            DeviceState.buttons2,
            DeviceState.accelX,
            {DeviceState.rawRf, DeviceState.rawRb, DeviceState.rawLf, DeviceState.rawLb}};
}

bool OpenBoard() {
    std::string error;
    Check(sim::LoadScript("silent\n", &error), "the simulated board takes its script");
    test::SetDeviceHandle(OpenHidHandle(boardVendorId, boardProductId));
    return deviceHandle != -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool open = OpenBoard();
    Check(open, "the simulated board opens");
    if (size > reportBufferSize)
        size = reportBufferSize;
    unsigned char tail[reportBufferSize];
    std::memcpy(tail, inReport, sizeof tail);
    Snapshot before = Take();
    sim::PushReport(data, size);
    ReadDeviceReport();
    Snapshot after = Take();
    // The report lands at the start of the buffer; the rest is untouched.
    Check(size == 0 || std::memcmp(inReport, data, size) == 0, "report placed at byte 0");
    Check(std::memcmp(inReport + size, tail + size, sizeof tail - size) == 0, "bytes past the report untouched");
    const unsigned char* r = inReport;
    Snapshot expected = before;
    if ((r[0] & 0xF0) == 0x30) {
        expected.buttons1 = r[1];
        expected.buttons2 = r[2];
        if (r[0] & 0x01)
            expected.accelX = r[3];
        if (r[0] & 0x04)
            for (int i = 0; i < 4; ++i)
                expected.raw[i] = r[3 + 2 * i] * 256 + r[4 + 2 * i];
    }
    Check(after.buttons1 == expected.buttons1 && after.buttons2 == expected.buttons2, "button bytes");
    Check(after.accelX == expected.accelX, "accelerometer byte");
    for (int i = 0; i < 4; ++i) {
        Check(after.raw[i] == expected.raw[i], "raw load words");
        Check(after.raw[i] >= 0 && after.raw[i] <= 65535, "raw words in 0..65535");
    }
    return 0;
}
