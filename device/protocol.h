// The board's report protocol by name: the reports weigh sends and reads,
// the reporting modes it asks for, and the bits of the button byte it acts
// on. The program, the simulated board and the tools all speak it with
// these names, so each value is written here once. It stands alone.
#ifndef WEIGH_PROTOCOL_H
#define WEIGH_PROTOCOL_H

#include <cstdint>

// Output reports, byte 0 of each.
constexpr unsigned char ledsReportId = 0x11;  // byte 1: the LEDs, bit 0 rumble
constexpr unsigned char modeReportId = 0x12;  // byte 1: flags, byte 2: the mode

// What weigh sends in them: the first LED lit, rumble off; no flag set in
// any mode report.
constexpr unsigned char firstLed = 0x10;
constexpr unsigned char noFlags = 0x00;

// Input reports. The board sends a status report by itself now and then,
// and after one no data until its reporting mode is set again.
constexpr unsigned char statusReportId = 0x20;

// The data reports are the family 0x30..0x3F: byte 1 and 2 the buttons,
// then what the ID's bits say, at fixed positions whatever else the ID
// says: bit 0, the accelerometer's X in byte 3; bit 2, the four loads in
// bytes 3..10, big-endian words. 0x30 itself carries the buttons only, the
// mode a board is in when it is switched on.
constexpr unsigned char dataReportFamily = 0x30;
constexpr unsigned char dataFamilyMask = 0xF0;
constexpr unsigned char accelerometerBit = 0x01;
constexpr unsigned char loadsBit = 0x04;

// The two reporting modes weigh asks for, each the ID of the data reports
// the board then sends: the open check's, buttons and the accelerometer;
// and weighing's, buttons and the extension's data, the four loads.
constexpr unsigned char accelerometerMode = 0x31;
constexpr unsigned char weighingMode = 0x34;

// Bits of the second button byte: A (weigh takes the zero point while it
// is held) and Home (alone, it ends the continuous reader).
constexpr unsigned char aButton = 0x08;
constexpr unsigned char homeButton = 0x80;

constexpr bool IsDataReport(unsigned char id) {
    return (id & dataFamilyMask) == dataReportFamily;
}

constexpr bool CarriesAccelerometer(unsigned char id) {
    return IsDataReport(id) && (id & accelerometerBit) != 0;
}

constexpr bool CarriesLoads(unsigned char id) {
    return IsDataReport(id) && (id & loadsBit) != 0;
}

#endif
