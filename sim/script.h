// The simulated board's script: one line per stretch of the board's life.
//
//   # comment                 anything after # is ignored; so are blank lines
//   rate N                    reports a second from here on (default 100);
//                             0 sends them as fast as they are read
//   accel HH                  accelerometer X byte of 0x31 reports from here on
//                             (hex, default 80)
//   board MS B1 B2 RF RB LF LB
//                             for MS milliseconds: button bytes B1 B2 (hex) and
//                             the loads right front, right back, left front,
//                             left back in raw units (0..65535, 100 a kilogram)
//   silent [MS]               no report for MS ms; without MS never again
//   report MS ID              for MS ms, reports of ID (hex) instead of the
//                             reporting mode's, carrying the board's state
//   unplugged [MS]            reads and writes fail at once, as on a board
//                             that was unplugged or switched itself off;
//                             for MS ms, or for good
//   off [MS]                  the board is switched off: the handle it gave
//                             fails every read and write from now on, for
//                             good, and opening it fails; after MS ms it is
//                             on again, in its default reporting mode, and
//                             a new open gives a new handle; without MS it
//                             stays off
//   status                    here the board sends a status report (0x20)
//                             by itself, and after it no report until its
//                             reporting mode is set again
//   missing                   the board is not there: opening it fails
//   remote                    the family's remote (the board's IDs, named
//                             as the remote) is listed before the board, or
//                             with missing instead of it; it answers the
//                             open check and takes reports, with no loads
//   mode HH                   the reporting mode (hex) the board is in when
//                             opened, as an earlier run left it (default 30:
//                             buttons only)
//   latency MS                a mode change takes effect MS ms after its
//                             output report arrives, as over a radio link
//                             (default 0: at once)
//   end [STATUS]              at this point, end the process with STATUS
//                             (default 0) after flushing its output
//
// Time starts when the program opens the board. After the last stretch the
// board keeps its last state. missing, remote, mode and latency hold for
// the whole script, wherever they stand.
//
// A script may also say what a run of weigh against its board must show;
// the board plays on as if these lines were not there, and the tests'
// checker (tests/scenario.h) holds a run to them. TEXT is the rest of the
// line, its inner spaces kept:
//   expect line TEXT          the read-out shows this line, after the line
//                             expected before it; with no line expected,
//                             the read-out stays empty
//   expect first TEXT         the same, as the read-out's first line
//   expect last TEXT          the same, and from there on the read-out
//                             shows only this line, as when it is frozen
//   expect never TEXT         no line of the read-out holds TEXT
//   expect notice TEXT        the next line of standard error; it holds
//                             exactly the notices expected, none for none
//   expect received TEXT      the next output report the board received
//                             ("12 00 31 (3 bytes)") or power event
//                             ("switched off") in its log; the log holds
//                             exactly those expected
//   expect sent TEXT          the board's log says it sent this report
//                             ("20 status")
//   expect status N           weigh ends by itself with status N
#ifndef WEIGH_SIM_SCRIPT_H
#define WEIGH_SIM_SCRIPT_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "report.h"

namespace sim {

// The reporting mode a board is in when switched on: buttons only.
constexpr uint8_t defaultReportingMode = dataReportFamily;

enum class StepKind { Board, Silent, Report, Unplugged, Off, Rate, Accel, Status, End };

enum class ExpectKind { Line, First, Last, Never, Notice, Received, Sent, Status };

struct Expectation {
    ExpectKind kind;
    std::string text;
};

struct Step {
    StepKind kind = StepKind::Board;
    int64_t startMs = 0;
    int64_t durationMs = 0;  // -1: for good
    uint8_t buttons1 = 0, buttons2 = 0;
    int32_t loads[4] = {0, 0, 0, 0};  // rf, rb, lf, lb
    uint8_t reportId = 0;
    int32_t rate = 100;
    uint8_t accel = accelLevel;
    int32_t status = 0;
};

struct Script {
    std::vector<Step> steps;
    bool missing = false;
    bool remote = false;                       // the family's remote is listed before the board
    uint8_t startMode = defaultReportingMode;  // the reporting mode at open
    int64_t modeLatencyMs = 0;                 // from a mode change's report to its effect
    int64_t lengthMs = 0;                      // sum of the timed stretches, -1 if one lasts for good
    std::vector<Expectation> expectations;     // in the script's order
};

// Parses text; on failure says which line and why in *error.
bool ParseScript(std::string_view text, Script* script, std::string* error);
// The whole text of the file at path; false if it cannot be read.
bool ReadScriptFile(const char* path, std::string* text);

// What the board is doing at a moment of its script: its buttons, loads
// and accelerometer, and what else it does.
struct Moment : ReportFields {
    StepKind fault = StepKind::Board;  // Board: sending reports as usual
    int64_t faultEndMs = -1;           // end of a Silent stretch; -1: never
    uint8_t reportId = 0;              // 0: the reporting mode's ID
    int32_t rate = 100;
    int32_t powerCycles = 0;    // off stretches that have ended by now
    int32_t statusReports = 0;  // status lines passed by now
};

Moment MomentAt(const Script& script, int64_t ms);

// The script's first end line, where the process ends; nullptr if none.
const Step* EndStep(const Script& script);

// The session weigh-sim plays when it is given no script.
extern const char* const builtInSession;

}  // namespace sim

#endif
