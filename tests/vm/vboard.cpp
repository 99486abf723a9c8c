// vboard [--bus usb|bluetooth] [--replay] [--remote] SCRIPT [PRODUCT]: a
// virtual weighing board on /dev/uhid for the VM tests, with the board's IDs
// (or product PRODUCT, hex), its name (--remote: the family's remote's, same
// IDs) and our own descriptor, playing SCRIPT (sim/script.h) with the board's
// model. The script's clock starts at the first output report, as under Wine
// winebus opens the node long before the program does (--replay: at every
// one, a device serving programs in turn). The device is destroyed while the
// board is unplugged or off, as such a board leaves the bus, and created anew
// when it comes back; the script's end, or a board gone for good, ends vboard.
// It logs each output report as the kernel hands it over, each mode change as
// it takes effect, each change in what it sends, and each departure and return.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <linux/uhid.h>
#include <poll.h>
#include <unistd.h>

#include "device/identity.h"
#include "sim/model.h"

namespace {

int uhid = -1;

bool Send(uint32_t type, uhid_event event) {
    event.type = type;
    if (write(uhid, &event, sizeof event) == static_cast<ssize_t>(sizeof event))
        return true;
    std::printf("vboard: write to /dev/uhid failed: %s\n", std::strerror(errno));
    return false;
}

// What report ID id carries at this moment, as the log tells it.
std::string Describe(uint8_t id, const sim::Moment& m) {
    char what[160];
    if (id == statusReportId)
        std::snprintf(what, sizeof what, "20 status");
    else if (CarriesLoads(id))
        std::snprintf(what, sizeof what, "%02x buttons %02x %02x loads %d %d %d %d", id, m.buttons1, m.buttons2,
                      m.loads[0], m.loads[1], m.loads[2], m.loads[3]);
    else
        std::snprintf(what, sizeof what, "%02x buttons %02x %02x accel %02x", id, m.buttons1, m.buttons2, m.accel);
    return what;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    uint16_t bus = BUS_USB;
    bool replay = false;
    const char* name = boardName;
    std::vector<std::string> args;  // SCRIPT [PRODUCT], or an option it does not know
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i], next = i + 1 < argc ? argv[i + 1] : "";
        if (arg == "--bus" && (next == "usb" || next == "bluetooth"))
            bus = argv[++i] == std::string("usb") ? BUS_USB : BUS_BLUETOOTH;
        else if (arg == "--replay")
            replay = true;
        else if (arg == "--remote")
            name = remoteName;
        else
            args.push_back(arg);
    }
    char* productEnd = nullptr;
    const char* productText = args.size() == 2 ? args[1].c_str() : "0306";
    auto product = static_cast<uint32_t>(std::strtoul(productText, &productEnd, 16));
    if (args.empty() || args.size() > 2 || args[0].rfind("--", 0) == 0 || *productEnd != '\0' || product > 0xFFFF ||
        !*productText) {
        std::fputs("usage: vboard [--bus usb|bluetooth] [--replay] [--remote] SCRIPT [PRODUCT]\n", stderr);
        return 2;
    }
    std::string text, error = "cannot read";
    sim::Script script;
    if (!sim::ReadScriptFile(args[0].c_str(), &text) || !sim::ParseScript(text, &script, &error)) {
        std::fprintf(stderr, "vboard: %s: %s\n", args[0].c_str(), error.c_str());
        return 2;
    }
    sim::Model board(script);
    board.quietUntilChosen = true;

    uhid = open("/dev/uhid", O_RDWR | O_CLOEXEC);
    if (uhid < 0) {
        std::printf("vboard: cannot open /dev/uhid: %s\n", std::strerror(errno));
        return 1;
    }
    std::vector<uint8_t> descriptor = sim::ReportDescriptor();
    uhid_event create{};
    std::snprintf(reinterpret_cast<char*>(create.u.create2.name), sizeof create.u.create2.name, "%s", name);
    create.u.create2.rd_size = static_cast<uint16_t>(descriptor.size());
    create.u.create2.bus = bus;
    create.u.create2.vendor = boardVendorId;
    create.u.create2.product = product;
    std::memcpy(create.u.create2.rd_data, descriptor.data(), descriptor.size());
    if (!Send(UHID_CREATE2, create))
        return 1;
    std::printf("vboard: created %04x:%04x \"%s\", descriptor of %zu bytes%s\n", static_cast<unsigned>(boardVendorId),
                product, name, descriptor.size(), bus == BUS_BLUETOOTH ? ", on the Bluetooth bus" : "");
    if (board.ModeChosen())
        std::printf("vboard: left in mode %02x\n", board.Mode(0));

    bool opened = false;
    sim::Presence gone = sim::Presence::There;  // how the device went; There: it is there
    std::string lastSent;
    for (;;) {
        int64_t now = sim::NowNs();
        long long boardMs = board.Ms(now);
        board.Mode(now, [boardMs](const sim::ModeChange& change) {
            std::printf("vboard: at %lld ms mode %02x, asked for at %lld ms\n", boardMs, change.mode,
                        static_cast<long long>(change.askedMs));
        });
        sim::Standing standing = board.Stand(now);
        bool there = standing.presence == sim::Presence::There;
        if ((gone == sim::Presence::There) != there) {
            if (!Send(there ? UHID_CREATE2 : UHID_DESTROY, there ? create : uhid_event{}))
                return 1;
            sim::Presence how = there ? gone : standing.presence;
            bool off = how == sim::Presence::Off;
            std::printf("vboard: at %lld ms %s\n", boardMs,
                        how == sim::Presence::Ended ? "script ends"
                        : there ? (off ? "switched on, a new device" : "plugged in again, a new device")
                                : (off ? "switched off" : "unplugged"));
            gone = standing.presence;
            opened = false;
        }
        if (!there && standing.untilMs < 0)  // the script's end, or gone for good
            return standing.exitStatus;
        sim::Moment& moment = standing.moment;
        if (moment.rate == 0)  // as fast as they are read: here, every millisecond
            moment.rate = 1000;
        uhid_event input{};
        int64_t until = now + 2000000;
        size_t length = opened ? board.Poll(now, moment, input.u.input2.data, &until) : 0;
        if (length > 0) {
            input.u.input2.size = static_cast<uint16_t>(length);
            if (!Send(UHID_INPUT2, input))
                return 1;
            std::string what = Describe(input.u.input2.data[0], moment);
            if (lastSent != what)
                std::printf("vboard: at %lld ms sends %s\n", boardMs, (lastSent = what).c_str());
            continue;
        }
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
        } else if (event.type == UHID_GET_REPORT) {  // the board has no reports to be asked for or set
            uhid_event reply{};
            reply.u.get_report_reply = {event.u.get_report.id, EIO, 0, {}};
            Send(UHID_GET_REPORT_REPLY, reply);
        } else if (event.type == UHID_SET_REPORT) {
            uhid_event reply{};
            reply.u.set_report_reply = {event.u.set_report.id, EIO};
            Send(UHID_SET_REPORT_REPLY, reply);
        }
    }
}
