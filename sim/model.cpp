#include "model.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace sim {

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

Model::Model(Script script)
    : script_(std::move(script)),
      mode_(script_.startMode),
      chosen_(script_.startMode != defaultReportingMode) {}

void Model::Output(int64_t nowNs, const uint8_t* report, size_t length) {
    if (length >= 3 && report[0] == modeReportId)
        changes_.push_back({Ms(nowNs), nowNs + script_.modeLatencyMs * 1000000, report[2]});
}

Standing Model::Stand(int64_t nowNs) {
    int64_t ms = Ms(nowNs);
    Standing standing;
    const Moment& moment = standing.moment = MomentAt(script_, ms);
    if (moment.powerCycles != powerCycle_) {  // on again: in its default mode, no change on the way
        powerCycle_ = moment.powerCycles;
        lastButtons_ = static_cast<uint16_t>(moment.buttons1 << 8 | moment.buttons2);
        changes_.clear();
        waitingForMode_ = false;
        mode_ = defaultReportingMode;
        chosen_ = false;
    }
    auto next =
        std::find_if(script_.steps.begin(), script_.steps.end(), [ms](const Step& step) { return step.startMs > ms; });
    standing.untilMs = next == script_.steps.end() ? moment.faultEndMs : next->startMs;
    const Step* end = Started() ? EndStep(script_) : nullptr;
    if (end && ms >= end->startMs) {
        standing.presence = Presence::Ended;
        standing.untilMs = -1;
        standing.exitStatus = end->status;
    } else if (script_.missing || moment.fault == StepKind::Off) {
        standing.presence = Presence::Off;
    } else if (moment.fault == StepKind::Unplugged) {
        standing.presence = Presence::Unplugged;
    }
    return standing;
}

size_t Model::Poll(int64_t nowNs, const Moment& moment, uint8_t* report, int64_t* untilNs) {
    uint8_t mode = Mode(nowNs);
    auto buttons = static_cast<uint16_t>(moment.buttons1 << 8 | moment.buttons2);
    // A status report goes out by itself, at once, and after it no data
    // until a reporting mode is set again, as on every device of the family.
    if (moment.fault != StepKind::Silent && moment.statusReports > statusSent_) {
        statusSent_ = moment.statusReports;
        waitingForMode_ = true;
        lastButtons_ = buttons;
        return EncodeReport(statusReportId, moment, report);
    }
    bool quiet = moment.fault == StepKind::Silent || waitingForMode_ ||
                 (quietUntilChosen && !chosen_ && buttons == lastButtons_);
    int64_t due = NextReportDueNs(lastReportNs_, moment.rate);
    if (quiet || (moment.rate > 0 && nowNs < due)) {
        *untilNs = quiet ? nowNs + 2000000 : due;
        if (!changes_.empty() && changes_.front().atNs < *untilNs)
            *untilNs = changes_.front().atNs;
        return 0;
    }
    lastReportNs_ = ReportSentNs(due, nowNs, moment.rate);
    lastButtons_ = buttons;
    return EncodeReport(AnswerReportId(moment, mode), moment, report);
}

}  // namespace sim
