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
