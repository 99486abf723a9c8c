// vboard: a virtual weighing board on /dev/uhid, for the VM tests.
//
//   vboard [--bus usb|bluetooth] [--replay] SCRIPT [PRODUCT]
//
// A HID device with the board's vendor and product IDs (or PRODUCT, hex,
// for a device that is not the board) and a report descriptor of our own
// (output reports 0x11 and 0x12, input reports 0x30..0x3F) that plays
// SCRIPT (sim/script.h) with the simulated board's model (sim/model.h)
// from the first output report a program sends it: the script's clock
// starts there, since under Wine winebus opens the node long before the
// program does. On the Bluetooth bus (--bus) the kernel keeps a board of
// this vendor and product for a special driver, and hid-generic takes it
// only when the hid module's ignore_special_drivers is set. With --replay
// the script starts again at every output report: a device that serves
// several programs in turn.
//
// The script's off line destroys the device, as a board switched off
// leaves the bus; when the stretch ends it is created again, a new device
// with a new node. Until a mode is chosen the board reports only a change
// of its buttons, as the real one does in its default mode. Rate 0 stands
// for a report every millisecond.
//
// On standard output it logs each output report exactly as the kernel
// handed it over, with its length, each mode change when it takes effect,
// each change in what it sends, and each time it is switched off and on.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <linux/uhid.h>
#include <poll.h>
#include <unistd.h>

#include "device/reports.h"
#include "sim/model.h"

namespace {

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

int uhid = -1;

bool Send(uint32_t type, const uhid_event& body) {
    uhid_event event = body;
    event.type = type;
    if (write(uhid, &event, sizeof event) == static_cast<ssize_t>(sizeof event))
        return true;
    std::printf("vboard: write to /dev/uhid failed: %s\n", std::strerror(errno));
    return false;
}

// What report ID id carries at this moment, as the log tells it.
std::string Describe(uint8_t id, const sim::Moment& m) {
    char what[160];
    if (id & 0x04)
        std::snprintf(what, sizeof what, "%02x buttons %02x %02x loads %d %d %d %d", id, m.buttons1, m.buttons2,
                      m.loads[0], m.loads[1], m.loads[2], m.loads[3]);
    else
        std::snprintf(what, sizeof what, "%02x buttons %02x %02x accel %02x", id, m.buttons1, m.buttons2, m.accel);
    return what;
}

// The options and arguments; false on a mistake.
bool Parse(int argc, char** argv, uint16_t* bus, bool* replay, std::vector<std::string>* args) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string next = i + 1 < argc ? argv[i + 1] : "";
        if (arg == "--bus" && (next == "usb" || next == "bluetooth")) {
            *bus = next == "usb" ? BUS_USB : BUS_BLUETOOTH;
            ++i;
        } else if (arg == "--replay") {
            *replay = true;
        } else if (arg.rfind("--", 0) == 0) {
            return false;
        } else {
            args->push_back(arg);
        }
    }
    if (args->size() == 1)
        args->push_back("0306");
    char* end = nullptr;
    return args->size() == 2 && !(*args)[1].empty() && std::strtoul((*args)[1].c_str(), &end, 16) <= 0xFFFF &&
           *end == '\0';
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    uint16_t bus = BUS_USB;
    bool replay = false;
    std::vector<std::string> args;
    if (!Parse(argc, argv, &bus, &replay, &args)) {
        std::fputs("usage: vboard [--bus usb|bluetooth] [--replay] SCRIPT [PRODUCT]\n", stderr);
        return 2;
    }
    auto product = static_cast<uint32_t>(std::strtoul(args[1].c_str(), nullptr, 16));
    std::ifstream file(args[0], std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    sim::Script script;
    std::string error;
    if (!file || !sim::ParseScript(text.str(), &script, &error)) {
        std::fprintf(stderr, "vboard: %s: %s\n", args[0].c_str(), file ? error.c_str() : "cannot read");
        return 2;
    }
    const sim::Step* end = sim::EndStep(script);
    sim::Model board(script);

    uhid = open("/dev/uhid", O_RDWR | O_CLOEXEC);
    if (uhid < 0) {
        std::printf("vboard: cannot open /dev/uhid: %s\n", std::strerror(errno));
        return 1;
    }
    std::vector<uint8_t> descriptor = BoardDescriptor();
    uhid_event create{};
    std::snprintf(reinterpret_cast<char*>(create.u.create2.name), sizeof create.u.create2.name,
                  "weigh virtual board");
    create.u.create2.rd_size = static_cast<uint16_t>(descriptor.size());
    create.u.create2.bus = bus;
    create.u.create2.vendor = boardVendorId;
    create.u.create2.product = product;
    std::memcpy(create.u.create2.rd_data, descriptor.data(), descriptor.size());
    if (!Send(UHID_CREATE2, create))
        return 1;
    std::printf("vboard: created %04x:%04x, descriptor of %zu bytes\n", static_cast<unsigned>(boardVendorId),
                product, descriptor.size());
    if (bus == BUS_BLUETOOTH)
        std::printf("vboard: on the Bluetooth bus\n");
    if (board.ModeChosen())
        std::printf("vboard: left in mode %02x\n", board.Mode(0));

    const uhid_event none{};
    bool opened = false, switchedOff = false;
    uint16_t lastButtons = 0;
    std::string lastSent;
    for (;;) {
        int64_t now = sim::NowNs();
        long long boardMs = board.Ms(now);
        board.Mode(now, [boardMs](const sim::ModeChange& change) {
            std::printf("vboard: at %lld ms mode %02x, asked for at %lld ms\n", boardMs, change.mode,
                        static_cast<long long>(change.askedMs));
        });
        if (board.Started() && end && boardMs >= end->startMs) {
            std::printf("vboard: script ends\n");
            Send(UHID_DESTROY, none);
            return end->status;
        }
        sim::Moment moment = board.At(now);
        if (moment.rate == 0)
            moment.rate = 1000;
        uint16_t buttons = static_cast<uint16_t>(moment.buttons1 << 8 | moment.buttons2);
        bool off = board.Started() && moment.fault == sim::StepKind::Off;
        if (off && !switchedOff) {
            switchedOff = true;
            opened = false;
            Send(UHID_DESTROY, none);
            std::printf("vboard: at %lld ms switched off\n", boardMs);
        } else if (!off && board.PowerOn(moment)) {
            switchedOff = false;
            lastButtons = buttons;
            if (!Send(UHID_CREATE2, create))
                return 1;
            std::printf("vboard: at %lld ms switched on, a new device\n", boardMs);
        }
        if (opened && moment.fault == sim::StepKind::Unplugged) {
            std::printf("vboard: unplugged\n");
            Send(UHID_DESTROY, none);
            return 0;
        }
        bool sending = opened && moment.fault != sim::StepKind::Silent && (board.ModeChosen() || buttons != lastButtons);
        int64_t due = board.DueNs(moment);
        if (sending && now >= due) {
            lastButtons = buttons;
            uhid_event input{};
            input.u.input2.size = static_cast<uint16_t>(board.Send(now, moment, input.u.input2.data));
            if (!Send(UHID_INPUT2, input))
                return 1;
            std::string what = Describe(input.u.input2.data[0], moment);
            if (lastSent != what)
                std::printf("vboard: at %lld ms sends %s\n", boardMs, (lastSent = what).c_str());
            continue;
        }
        int64_t until = sending ? due : now + 2000000;
        if (board.NextChangeNs() >= 0 && board.NextChangeNs() < until)
            until = board.NextChangeNs();
        int waitMs = static_cast<int>((until - now + 999999) / 1000000);
        pollfd ready = {uhid, POLLIN, 0};
        uhid_event event{};
        if (poll(&ready, 1, waitMs < 1 ? 1 : waitMs) <= 0 || read(uhid, &event, sizeof event) <= 0)
            continue;
        if (event.type == UHID_OPEN || event.type == UHID_CLOSE) {
            opened = event.type == UHID_OPEN;
            std::printf("vboard: %s\n", opened ? "opened" : "closed");
        } else if (event.type == UHID_OUTPUT) {
            const uhid_output_req& output = event.u.output;
            if (!board.Started() || replay)
                board.Start(sim::NowNs());
            std::printf("vboard: output");
            for (size_t i = 0; i < output.size && i < UHID_DATA_MAX; ++i)
                std::printf(" %02x", output.data[i]);
            std::printf(" (%u bytes)\n", static_cast<unsigned>(output.size));
            board.Output(sim::NowNs(), output.data, output.size);
        } else if (event.type == UHID_GET_REPORT || event.type == UHID_SET_REPORT) {
            // The board has no reports to be asked for or set.
            uhid_event reply{};
            bool get = event.type == UHID_GET_REPORT;
            if (get)
                reply.u.get_report_reply = {event.u.get_report.id, EIO, 0, {}};
            else
                reply.u.set_report_reply = {event.u.set_report.id, EIO};
            Send(get ? UHID_GET_REPORT_REPLY : UHID_SET_REPORT_REPLY, reply);
        }
    }
}
