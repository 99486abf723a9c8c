// The board's model, free of any transport: its script's clock, where it
// stands (there, unplugged, off, at the script's end), its reporting mode
// and the mode changes on their way to it, and the pacing of its reports.
// The simulated board (board.cpp) and the virtual board on /dev/uhid
// (tests/vm/vboard.cpp) both play their scripts with it, so a behaviour of
// the board is written here once.
#ifndef WEIGH_SIM_MODEL_H
#define WEIGH_SIM_MODEL_H

#include <cstddef>
#include <cstdint>
#include <deque>

#include "answer.h"
#include "script.h"

namespace sim {

// The steady clock, in nanoseconds.
int64_t NowNs();

// A mode change: the mode, when it was asked for (on the script's clock)
// and when it takes effect.
struct ModeChange {
    int64_t askedMs;
    int64_t atNs;
    uint8_t mode;
};

// Where the board stands, the same for every transport.
enum class Presence {
    There,      // on and connected
    Unplugged,  // its link is down: nothing reaches it and nothing comes
    Off,        // switched off, or missing: not there; an earlier handle is dead
    Ended,      // its script's end line has passed: the process ends
};

struct Standing {
    Presence presence = Presence::There;
    int64_t untilMs = -1;    // when it may change: its next line, or its last stretch's end; -1: never
    int32_t exitStatus = 0;  // Ended: the end line's status
    Moment moment;           // what the script has it do then, its power cycle too
};

// One board playing one script. Not thread-safe: its caller guards it.
class Model {
public:
    explicit Model(Script script = Script());
    const Script& script() const { return script_; }

    // The script's clock starts (again) now; before the first start it
    // stands at 0.
    void Start(int64_t nowNs) { startedNs_ = nowNs; }
    bool Started() const { return startedNs_ >= 0; }
    int64_t Ms(int64_t nowNs) const { return Started() ? (nowNs - startedNs_) / 1000000 : 0; }

    // Where the board stands at now; switched on again, it is in its default
    // reporting mode with no change on the way. The script ends only once
    // its clock runs.
    Standing Stand(int64_t nowNs);

    // An output report reached the board: a mode report (0x12) takes effect
    // the script's latency later, after those on the way before it.
    void Output(int64_t nowNs, const uint8_t* report, size_t length);
    // Takes every mode change due by now into effect; onChange, if given,
    // is told of each.
    template <typename OnChange>
    uint8_t Mode(int64_t nowNs, OnChange onChange);
    uint8_t Mode(int64_t nowNs) {
        return Mode(nowNs, [](const ModeChange&) {});
    }
    // Whether the mode was chosen by someone since the board was switched
    // on: a program, or the earlier run a script's mode line stands for.
    bool ModeChosen() const { return chosen_; }

    // The next report is due at once, as at an open.
    void RestartPacing() { lastReportNs_ = 0; }
    // What the board sends at now: a report, into report (at least 22
    // bytes), returning its length; or nothing yet, returning 0, with
    // *untilNs when to look again (the next report or mode change due; in
    // short steps while silent).
    size_t Poll(int64_t nowNs, const Moment& moment, uint8_t* report, int64_t* untilNs);
    // When set, the board reports only a change of its buttons until a
    // mode is chosen, as the real one does in its default mode.
    bool quietUntilChosen = false;

private:
    Script script_;
    int64_t startedNs_ = -1;
    int64_t lastReportNs_ = 0;
    int32_t powerCycle_ = 0;
    uint16_t lastButtons_ = 0;  // of the last report, or at power-on
    uint8_t mode_;
    bool chosen_;
    int32_t statusSent_ = 0;          // the script's status lines sent by now
    bool waitingForMode_ = false;     // since a status report, until a mode takes effect
    std::deque<ModeChange> changes_;  // in the order their reports arrived
};

template <typename OnChange>
uint8_t Model::Mode(int64_t nowNs, OnChange onChange) {
    while (!changes_.empty() && changes_.front().atNs <= nowNs) {
        mode_ = changes_.front().mode;
        chosen_ = true;
        waitingForMode_ = false;
        onChange(changes_.front());
        changes_.pop_front();
    }
    return mode_;
}

}  // namespace sim

#endif
