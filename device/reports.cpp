#include "reports.h"

#include "padwire.h"
#include "../platform/platform.h"

int32_t deviceHandle;
unsigned char outReport[reportBufferSize];
unsigned char inReport[reportBufferSize];
uint32_t writeInfo;
uint32_t readInfo;
DeviceStateRecord DeviceState;

static constexpr std::memory_order relaxed = std::memory_order_relaxed;

// Both output reports overwrite only their own leading bytes of the shared
// buffer; what lies behind them is left over from earlier reports and goes
// out too when the library sends more than the report's own length.
void SetLeds(int32_t value) {
    outReport[0] = ledsReportId;
    outReport[1] = static_cast<unsigned char>(value & 0xFF);
    WriteReport(deviceHandle, outReport, &writeInfo);
}

void SetReportMode(int32_t flags, int32_t mode) {
    outReport[0] = modeReportId;
    outReport[1] = static_cast<unsigned char>(flags & 0xFF);
    outReport[2] = static_cast<unsigned char>(mode & 0xFF);
    WriteReport(deviceHandle, outReport, &writeInfo);
}

void ReadyBoard() {
    SetLeds(firstLed);
    SetReportMode(noFlags, weighingMode);
}

static int32_t BigEndianWord(const unsigned char* bytes) {
    return static_cast<int32_t>(bytes[0]) * 256 + static_cast<int32_t>(bytes[1]);
}

// The byte positions are fixed whatever else the ID says: ID 0x35 sets
// accelX and the high byte of rawRf from the same byte 3.
void DecodeInputReport() {
    unsigned char id = inReport[0];
    if (!IsDataReport(id))
        return;
    DeviceState.buttons1.store(inReport[1], relaxed);
    DeviceState.buttons2.store(inReport[2], relaxed);
    if (CarriesAccelerometer(id))
        DeviceState.accelX.store(inReport[3], relaxed);
    if (CarriesLoads(id)) {
        DeviceState.rawRf.store(BigEndianWord(inReport + 3), relaxed);
        DeviceState.rawRb.store(BigEndianWord(inReport + 5), relaxed);
        DeviceState.rawLf.store(BigEndianWord(inReport + 7), relaxed);
        DeviceState.rawLb.store(BigEndianWord(inReport + 9), relaxed);
    }
}

// A read that fails leaves inReport as it was, so the previous report is
// decoded again and nothing changes; at start the buffer is zeros (ID 0x00).
//
// The continuous reader calls back to back, and a board that has gone
// fails every read at once (padwire.h): the pause after a failed read
// keeps the reader from spinning a core, whichever backend is below. A
// read that hands over no byte counts as failed too: it carries no report,
// and a backend that returns such reads without waiting would spin just
// the same. Successful reads follow each other with no pause.
int32_t ReadDeviceReport() {
    int32_t came = ReadReport(deviceHandle, inReport, &readInfo) > 0 ? 1 : 0;
    if (came == 0)
        PlatformSleep(failedReadPauseMs);
    DecodeInputReport();
    return came;
}
