#include "answer.h"

#include <cstring>

namespace sim {

size_t ReportLength(uint8_t id) {
    switch (id) {
    case 0x20: return 7;
    case 0x21: return 22;
    case 0x22: return 5;
    case 0x30: return 3;
    case 0x31: return 6;
    case 0x32: return 11;
    case 0x33: return 18;
    default: return 22;
    }
}

std::vector<uint8_t> ReportDescriptor() {
    std::vector<uint8_t> d = {
        0x06, 0x00, 0xFF,        // Usage Page (vendor defined)
        0x09, 0x01,              // Usage (1)
        0xA1, 0x01,              // Collection (Application)
        0x15, 0x00,              //   Logical Minimum (0)
        0x26, 0xFF, 0x00,        //   Logical Maximum (255)
        0x75, 0x08,              //   Report Size (8)
        0x85, 0x11, 0x95, 0x01,  //   Report ID 0x11, Report Count 1
        0x09, 0x01, 0x91, 0x02,  //   Usage, Output (Data, Var, Abs)
        0x85, 0x12, 0x95, 0x02,  //   Report ID 0x12, Report Count 2
        0x09, 0x01, 0x91, 0x02,  //   Usage, Output (Data, Var, Abs)
    };
    // The status report, then the whole 0x30 family.
    for (int i = 0; i <= 16; ++i) {
        auto id = static_cast<uint8_t>(i == 0 ? 0x20 : 0x2F + i);
        auto count = static_cast<uint8_t>(ReportLength(id) - 1);
        const uint8_t input[] = {0x85, id, 0x95, count, 0x09, 0x01, 0x81, 0x02};
        d.insert(d.end(), input, input + sizeof input);
    }
    d.push_back(0xC0);  // End Collection
    return d;
}

uint8_t AnswerReportId(const Moment& moment, uint8_t reportingMode) {
    return moment.reportId ? moment.reportId : reportingMode;
}

size_t BuildReport(uint8_t id, const Moment& moment, uint8_t* report) {
    size_t length = ReportLength(id);
    std::memset(report, 0, length);
    report[0] = id;
    report[1] = moment.buttons1;
    report[2] = moment.buttons2;
    if ((id & 0xF0) == 0x30 && (id & 0x04)) {
        for (int i = 0; i < 4; ++i) {
            report[3 + 2 * i] = static_cast<uint8_t>(moment.loads[i] >> 8);
            report[4 + 2 * i] = static_cast<uint8_t>(moment.loads[i] & 0xFF);
        }
    } else if ((id & 0xF0) == 0x30 && (id & 0x01)) {
        report[3] = moment.accel;
        report[4] = 0x80;
        report[5] = 0x9A;  // Z: gravity
    } else if (id == 0x20) {
        report[3] = 0x02;  // the extension, its sensors, is there
        report[6] = 0xC0;  // the batteries' charge
    }
    return length;
}

int64_t NextReportDueNs(int64_t lastNs, int32_t rate) {
    return rate > 0 ? lastNs + 1000000000 / rate : lastNs;
}

int64_t ReportSentNs(int64_t dueNs, int64_t nowNs, int32_t rate) {
    if (rate <= 0)
        return nowNs;
    return nowNs - dueNs < 1000000000 / rate ? dueNs : nowNs;
}

}  // namespace sim
