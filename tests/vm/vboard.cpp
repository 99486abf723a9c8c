// vboard: a virtual weighing board on /dev/uhid, for the VM test.
//
//   vboard [--bus usb|bluetooth] [--mode HH] [--latency MS] [--replay] SCRIPT [PRODUCT]
//
// It creates a HID device with the board's vendor and product IDs (or
// PRODUCT, hex, for a device that is not the board) and a report descriptor
// of our own (output reports 0x11 and 0x12, input reports 0x30..0x3F), and
// from the first output report a program sends it, plays SCRIPT (the
// simulated board's format, sim/script.h) with the simulated board's
// answers (sim/answer.h): reporting mode 0x31 gets 0x31 reports, mode 0x34
// gets 0x34 reports with the four loads, paced at the script's rate.
//
// The options make it behave as a real board does on its second run:
//   --bus       the bus it sits on (default usb). On the Bluetooth bus the
//               kernel keeps a board of this vendor and product for a
//               special driver: hid-generic, which gives it a hidraw node,
//               takes it only when the hid module's ignore_special_drivers
//               is set.
//   --mode HH   the reporting mode (hex) an earlier run left it in: it
//               streams that mode's reports from the first open on, without
//               being asked. Without it the board starts in its default
//               mode, where it reports only a change of its buttons.
//   --latency MS
//               each mode change takes effect MS ms after its output report
//               arrives, as over the radio link (default 0: at once).
//   --replay    the script starts again at every output report, not only at
//               the first: a device that serves several programs in turn.
//
// The script's off line destroys the device, as a board switched off
// leaves the bus; when the stretch ends the board is created again, a new
// device with a new node, in its default mode.
//
// On standard output it logs each output report exactly as the kernel
// handed it over, with its length, each mode change when it takes effect,
// each change in what it sends, and each time it is switched off and on.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <linux/uhid.h>
#include <poll.h>
#include <unistd.h>

#include "device/reports.h"
#include "sim/answer.h"
#include "sim/script.h"

namespace {

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A mode change on its way over the link: the mode, when it was asked for
// (on the script's clock) and when it applies.
struct ModeChange {
    int64_t askedMs;
    int64_t atNs;
    uint8_t mode;
};

struct Options {
    uint16_t bus = BUS_USB;
    int leftOverMode = -1;  // -1: none, the board starts in its default mode
    int64_t latencyMs = 0;
    bool replay = false;
    const char* script = nullptr;
    uint32_t product = boardProductId;
    bool productGiven = false;
};

bool ParseHexByte(const char* text, int* value) {
    char* end = nullptr;
    long parsed = std::strtol(text, &end, 16);
    if (*text == '\0' || *end != '\0' || parsed < 0 || parsed > 0xFF)
        return false;
    *value = static_cast<int>(parsed);
    return true;
}

bool ParseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == "--bus" && hasValue) {
            std::string bus = argv[++i];
            if (bus == "usb")
                options->bus = BUS_USB;
            else if (bus == "bluetooth")
                options->bus = BUS_BLUETOOTH;
            else
                return false;
        } else if (arg == "--mode" && hasValue) {
            if (!ParseHexByte(argv[++i], &options->leftOverMode))
                return false;
        } else if (arg == "--latency" && hasValue) {
            char* end = nullptr;
            options->latencyMs = std::strtoll(argv[++i], &end, 10);
            if (*end != '\0' || options->latencyMs < 0)
                return false;
        } else if (arg == "--replay") {
            options->replay = true;
        } else if (arg.rfind("--", 0) == 0) {
            return false;
        } else if (!options->script) {
            options->script = argv[i];
        } else if (!options->productGiven) {
            char* end = nullptr;
            unsigned long product = std::strtoul(argv[i], &end, 16);
            if (arg.empty() || *end != '\0' || product > 0xFFFF)
                return false;
            options->product = static_cast<uint32_t>(product);
            options->productGiven = true;
        } else {
            return false;
        }
    }
    return options->script != nullptr;
}

// Vendor-defined usages, one byte per field: output 0x11 (LEDs, 1 byte) and
// 0x12 (reporting mode, 2 bytes), and every input report of the 0x30
// family as long as the simulated board sends it.
std::vector<uint8_t> BoardDescriptor() {
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
    for (int id = 0x30; id <= 0x3F; ++id) {
        uint8_t count = static_cast<uint8_t>(sim::ReportLength(static_cast<uint8_t>(id)) - 1);
        const uint8_t input[] = {0x85, static_cast<uint8_t>(id), 0x95, count, 0x09, 0x01, 0x81, 0x02};
        d.insert(d.end(), input, input + sizeof input);
    }
    d.push_back(0xC0);  // End Collection
    return d;
}

bool Send(int uhid, const uhid_event& event) {
    ssize_t written = write(uhid, &event, sizeof event);
    if (written != static_cast<ssize_t>(sizeof event)) {
        std::printf("vboard: write to /dev/uhid failed: %s\n", std::strerror(errno));
        return false;
    }
    return true;
}

void Destroy(int uhid) {
    uhid_event event{};
    event.type = UHID_DESTROY;
    Send(uhid, event);
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        std::fputs("usage: vboard [--bus usb|bluetooth] [--mode HH] [--latency MS] [--replay] SCRIPT [PRODUCT]\n",
                   stderr);
        return 2;
    }
    std::ifstream file(options.script, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    sim::Script script;
    std::string error;
    if (!file || !sim::ParseScript(text.str(), &script, &error)) {
        std::fprintf(stderr, "vboard: %s: %s\n", options.script, file ? error.c_str() : "cannot read");
        return 2;
    }
    const sim::Step* end = sim::EndStep(script);
    int64_t endMs = end ? end->startMs : -1;
    int endStatus = end ? end->status : 0;

    int uhid = open("/dev/uhid", O_RDWR | O_CLOEXEC);
    if (uhid < 0) {
        std::printf("vboard: cannot open /dev/uhid: %s\n", std::strerror(errno));
        return 1;
    }
    std::vector<uint8_t> descriptor = BoardDescriptor();
    uhid_event create{};
    create.type = UHID_CREATE2;
    std::snprintf(reinterpret_cast<char*>(create.u.create2.name), sizeof create.u.create2.name,
                  "weigh virtual board");
    create.u.create2.rd_size = static_cast<uint16_t>(descriptor.size());
    create.u.create2.bus = options.bus;
    create.u.create2.vendor = boardVendorId;
    create.u.create2.product = options.product;
    std::memcpy(create.u.create2.rd_data, descriptor.data(), descriptor.size());
    if (!Send(uhid, create))
        return 1;
    std::printf("vboard: created %04x:%04x, descriptor of %zu bytes\n", static_cast<unsigned>(boardVendorId),
                options.product, descriptor.size());
    if (options.bus == BUS_BLUETOOTH)
        std::printf("vboard: on the Bluetooth bus\n");

    bool opened = false;
    // The script's clock starts at the first output report, not at the first
    // open: under Wine, winebus opens the node as soon as it appears, long
    // before the program does; weigh writes its first report right after its
    // own open.
    int64_t startedAtNs = -1;
    int64_t lastReportNs = 0;
    uint8_t mode = 0x30;
    bool modeSet = false;
    if (options.leftOverMode >= 0) {
        mode = static_cast<uint8_t>(options.leftOverMode);
        modeSet = true;
        std::printf("vboard: left in mode %02x\n", mode);
    }
    std::deque<ModeChange> modeChanges;  // in the order they arrived
    uint16_t lastButtons = 0;
    std::string lastSent;
    bool switchedOff = false;
    for (;;) {
        int64_t now = NowNs();
        int64_t boardMs = startedAtNs < 0 ? 0 : (now - startedAtNs) / 1000000;
        while (!modeChanges.empty() && modeChanges.front().atNs <= now) {
            mode = modeChanges.front().mode;
            modeSet = true;
            std::printf("vboard: at %lld ms mode %02x, asked for at %lld ms\n", static_cast<long long>(boardMs),
                        mode, static_cast<long long>(modeChanges.front().askedMs));
            modeChanges.pop_front();
        }
        if (startedAtNs >= 0 && endMs >= 0 && boardMs >= endMs) {
            std::printf("vboard: script ends\n");
            Destroy(uhid);
            return endStatus;
        }
        sim::Moment moment = sim::MomentAt(script, boardMs);
        bool off = startedAtNs >= 0 && moment.fault == sim::StepKind::Off;
        if (off && !switchedOff) {
            switchedOff = true;
            opened = false;
            Destroy(uhid);
            std::printf("vboard: at %lld ms switched off\n", static_cast<long long>(boardMs));
        } else if (!off && switchedOff) {
            switchedOff = false;
            modeChanges.clear();
            mode = 0x30;
            modeSet = false;
            lastButtons = static_cast<uint16_t>(moment.buttons1 << 8 | moment.buttons2);
            if (!Send(uhid, create))
                return 1;
            std::printf("vboard: at %lld ms switched on, a new device\n", static_cast<long long>(boardMs));
        }
        bool sending = opened && moment.fault != sim::StepKind::Silent && moment.fault != sim::StepKind::Unplugged;
        if (opened && moment.fault == sim::StepKind::Unplugged) {
            std::printf("vboard: unplugged\n");
            Destroy(uhid);
            return 0;
        }
        // Rate 0 means "as fast as they are read" in-process; here a
        // millisecond apart stands in for it.
        int32_t rate = moment.rate > 0 ? moment.rate : 1000;
        int64_t due = sim::NextReportDueNs(lastReportNs, rate);
        // Until a program sets a reporting mode, the board reports only a
        // change of its buttons, as the real one does in its default mode;
        // a report queued from before would otherwise greet the program.
        uint16_t buttons = static_cast<uint16_t>(moment.buttons1 << 8 | moment.buttons2);
        if (!modeSet && buttons == lastButtons)
            sending = false;
        if (sending && now >= due) {
            lastButtons = buttons;
            uhid_event input{};
            input.type = UHID_INPUT2;
            uint8_t id = sim::AnswerReportId(moment, mode);
            size_t length = sim::BuildReport(id, moment, input.u.input2.data);
            input.u.input2.size = static_cast<uint16_t>(length);
            if (!Send(uhid, input))
                return 1;
            lastReportNs = sim::ReportSentNs(due, now, rate);
            char what[160];
            if (id & 0x04)
                std::snprintf(what, sizeof what, "%02x buttons %02x %02x loads %d %d %d %d", id, moment.buttons1,
                              moment.buttons2, moment.loads[0], moment.loads[1], moment.loads[2], moment.loads[3]);
            else
                std::snprintf(what, sizeof what, "%02x buttons %02x %02x accel %02x", id, moment.buttons1,
                              moment.buttons2, moment.accel);
            if (lastSent != what) {
                lastSent = what;
                std::printf("vboard: at %lld ms sends %s\n", static_cast<long long>(boardMs), what);
            }
            continue;
        }
        int64_t until = sending ? due : now + 2000000;
        if (!modeChanges.empty() && modeChanges.front().atNs < until)
            until = modeChanges.front().atNs;
        int waitMs = static_cast<int>((until - now + 999999) / 1000000);
        pollfd ready = {uhid, POLLIN, 0};
        if (poll(&ready, 1, waitMs < 1 ? 1 : waitMs) <= 0)
            continue;
        uhid_event event{};
        ssize_t got = read(uhid, &event, sizeof event);
        if (got <= 0)
            continue;
        switch (event.type) {
        case UHID_START:
            std::printf("vboard: started\n");
            break;
        case UHID_OPEN:
            opened = true;
            std::printf("vboard: opened\n");
            break;
        case UHID_CLOSE:
            opened = false;
            std::printf("vboard: closed\n");
            break;
        case UHID_OUTPUT: {
            const uhid_output_req& output = event.u.output;
            if (startedAtNs < 0 || options.replay)
                startedAtNs = NowNs();
            std::string bytes;
            for (size_t i = 0; i < output.size && i < UHID_DATA_MAX; ++i) {
                char hex[4];
                std::snprintf(hex, sizeof hex, i ? " %02x" : "%02x", output.data[i]);
                bytes += hex;
            }
            std::printf("vboard: output %s (%u bytes)\n", bytes.c_str(), static_cast<unsigned>(output.size));
            if (output.size >= 3 && output.data[0] == 0x12) {
                int64_t arrived = NowNs();
                int64_t askedMs = startedAtNs < 0 ? 0 : (arrived - startedAtNs) / 1000000;
                modeChanges.push_back({askedMs, arrived + options.latencyMs * 1000000, output.data[2]});
            }
            break;
        }
        case UHID_GET_REPORT: {
            // The board has no reports to be asked for.
            uhid_event reply{};
            reply.type = UHID_GET_REPORT_REPLY;
            reply.u.get_report_reply.id = event.u.get_report.id;
            reply.u.get_report_reply.err = EIO;
            Send(uhid, reply);
            break;
        }
        case UHID_SET_REPORT: {
            uhid_event reply{};
            reply.type = UHID_SET_REPORT_REPLY;
            reply.u.set_report_reply.id = event.u.set_report.id;
            reply.u.set_report_reply.err = EIO;
            Send(uhid, reply);
            break;
        }
        default:
            break;
        }
    }
}
