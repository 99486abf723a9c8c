// The board's report protocol: the two output reports weigh sends and the
// decoding of input reports 0x30..0x3F into DeviceState.
#ifndef WEIGH_REPORTS_H
#define WEIGH_REPORTS_H

#include <atomic>
#include <cstdint>

#include "identity.h"  // the board's IDs
#include "padwire.h"
#include "protocol.h"

// The decoded state of the board. Each field is written by the one active
// reader thread in a single store of its final value, but accelX, which
// the main thread also clears before it starts the open check's probe
// (ProbeDevice); every field is read elsewhere without a lock, so each is
// a relaxed atomic of its own.
struct DeviceStateRecord {
    std::atomic<uint8_t> buttons1;  // input report byte 1
    std::atomic<uint8_t> buttons2;  // byte 2: aButton, homeButton
    std::atomic<uint8_t> accelX;    // byte 3 of reports whose ID has bit 0 set
    std::atomic<int32_t> rawRf;     // right front, bytes 3-4 big-endian, 0..65535
    std::atomic<int32_t> rawRb;     // right back, bytes 5-6
    std::atomic<int32_t> rawLf;     // left front, bytes 7-8
    std::atomic<int32_t> rawLb;     // left back, bytes 9-10
};

constexpr uint32_t failedReadPauseMs = 10;  // after a read that delivered no report

// deviceHandle and outReport belong to the main thread during the start-up
// and to the continuous reader after it: once the reader has started, only
// it sends output reports, and when the board has gone it alone closes the
// handle and opens the board again.
extern int32_t deviceHandle;  // -1: no board found
extern unsigned char outReport[reportBufferSize];
extern unsigned char inReport[reportBufferSize];
extern uint32_t writeInfo;
extern uint32_t readInfo;
extern DeviceStateRecord DeviceState;

// Output report ledsReportId: the LEDs (bit 0 of value is rumble).
void SetLeds(int32_t value);
// Output report modeReportId: the data reporting mode.
void SetReportMode(int32_t flags, int32_t mode);
// Readies the board for weighing: its first LED lit, then weighingMode.
void ReadyBoard();
// Reads one input report into inReport and decodes it into DeviceState;
// after a read that failed, first pauses failedReadPauseMs. 1 when a report
// came, 0 when the read failed (the continuous reader counts those).
int32_t ReadDeviceReport();
// Decodes whatever inReport holds (the second half of ReadDeviceReport).
void DecodeInputReport();

#endif
