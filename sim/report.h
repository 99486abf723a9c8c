// The board's input reports laid out byte by byte, as the board sends
// them: the one encoder that the simulated board, the virtual board and
// the tests and benchmarks build their reports with. The program decodes
// them with its own code (device/reports.cpp).
#ifndef WEIGH_SIM_REPORT_H
#define WEIGH_SIM_REPORT_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "../device/protocol.h"

namespace sim {

// The accelerometer's reading of a board lying still: X and Y level, Z
// feeling gravity.
constexpr uint8_t accelLevel = 0x80;
constexpr uint8_t accelGravity = 0x9A;

// What a report may carry; its ID says which of it goes out.
struct ReportFields {
    uint8_t buttons1 = 0, buttons2 = 0;
    int32_t loads[4] = {0, 0, 0, 0};  // rf, rb, lf, lb, raw units 0..65535
    uint8_t accel = accelLevel;       // the accelerometer's X
};

// The longest report, ID included: report buffers of this many bytes take
// any of them.
constexpr size_t longestReport = 22;

// The length of an input report on the wire, report ID included.
inline size_t ReportLength(uint8_t id) {
    switch (id) {
    case statusReportId: return 7;
    case 0x21: return 22;
    case 0x22: return 5;
    case dataReportFamily: return 3;
    case accelerometerMode: return 6;
    case 0x32: return 11;
    case 0x33: return 18;
    default: return longestReport;
    }
}

// Where the first load's word stands; the others follow it.
constexpr size_t loadsAt = 3;

// Writes report id carrying fields to report (at least longestReport
// bytes) and returns its length. A report with both the loads' and the
// accelerometer's bit carries the loads, which begin at the same byte.
inline size_t EncodeReport(uint8_t id, const ReportFields& fields, uint8_t* report) {
    size_t length = ReportLength(id);
    std::memset(report, 0, length);
    report[0] = id;
    report[1] = fields.buttons1;
    report[2] = fields.buttons2;
    if (CarriesLoads(id)) {
        for (size_t i = 0; i < 4; ++i) {
            report[loadsAt + 2 * i] = static_cast<uint8_t>(fields.loads[i] >> 8);
            report[loadsAt + 2 * i + 1] = static_cast<uint8_t>(fields.loads[i] & 0xFF);
        }
    } else if (CarriesAccelerometer(id)) {
        report[3] = fields.accel;
        report[4] = accelLevel;
        report[5] = accelGravity;
    } else if (id == statusReportId) {
        report[3] = 0x02;  // the extension, its sensors, is there
        report[6] = 0xC0;  // the batteries' charge
    }
    return length;
}

// The four loads of a report laid out by EncodeReport; false for a report
// that carries none, or one cut short.
inline bool LoadsOfReport(const uint8_t* report, size_t length, int32_t loads[4]) {
    if (length < loadsAt + 8 || !CarriesLoads(report[0]))
        return false;
    for (size_t i = 0; i < 4; ++i)
        loads[i] = report[loadsAt + 2 * i] * 256 + report[loadsAt + 2 * i + 1];
    return true;
}

}  // namespace sim

#endif
