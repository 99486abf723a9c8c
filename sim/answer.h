// How the simulated board answers: which input report it sends at a moment
// of its script, its bytes, and when the next one is due. Shared by the
// in-process board (board.cpp) and the virtual board on /dev/uhid.
#ifndef WEIGH_SIM_ANSWER_H
#define WEIGH_SIM_ANSWER_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "script.h"

namespace sim {

// The report descriptor of a virtual board, composed for it: vendor-defined
// usages, one byte per field: output 0x11 (LEDs, 1 byte) and 0x12
// (reporting mode, 2 bytes), the status report 0x20 and every input report
// of the 0x30 family, each as long as the board sends it.
std::vector<uint8_t> ReportDescriptor();

// The ID of the report the board sends in this reporting mode at this
// moment: the mode's own, unless the script says otherwise.
uint8_t AnswerReportId(const Moment& moment, uint8_t reportingMode);

// When the report after one sent at lastNs is due at this rate (0: at once).
int64_t NextReportDueNs(int64_t lastNs, int32_t rate);

// The time a report sent now counts as sent at, for pacing the next: its
// due time, so that late wake-ups do not slow the board down, unless the
// board is a whole period or more behind (nobody was reading), when it
// starts afresh from now.
int64_t ReportSentNs(int64_t dueNs, int64_t nowNs, int32_t rate);

}  // namespace sim

#endif
