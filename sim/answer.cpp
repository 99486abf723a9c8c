#include "answer.h"

namespace sim {

std::vector<uint8_t> ReportDescriptor() {
    std::vector<uint8_t> d = {
        0x06, 0x00,
        0xFF,        // Usage Page (vendor defined)
        0x09, 0x01,  // Usage (1)
        0xA1, 0x01,  // Collection (Application)
        0x15, 0x00,  //   Logical Minimum (0)
        0x26, 0xFF,
        0x00,                //   Logical Maximum (255)
        0x75, 8,             //   Report Size (8 bits)
        0x85, ledsReportId,  //   Report ID
        0x95, 0x01,          //   Report Count 1
        0x09, 0x01,
        0x91, 0x02,          //   Usage, Output (Data, Var, Abs)
        0x85, modeReportId,  //   Report ID
        0x95, 0x02,          //   Report Count 2
        0x09, 0x01,
        0x91, 0x02,  //   Usage, Output (Data, Var, Abs)
    };
    // The status report, then the whole 0x30 family.
    for (int i = 0; i <= 16; ++i) {
        auto id = static_cast<uint8_t>(i == 0 ? statusReportId : dataReportFamily + i - 1);
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

int64_t NextReportDueNs(int64_t lastNs, int32_t rate) {
    return rate > 0 ? lastNs + 1000000000 / rate : lastNs;
}

int64_t ReportSentNs(int64_t dueNs, int64_t nowNs, int32_t rate) {
    if (rate <= 0)
        return nowNs;
    return nowNs - dueNs < 1000000000 / rate ? dueNs : nowNs;
}

}  // namespace sim
