// A board of the consumer's own, chosen by SCRIPTED_BOARD: "missing",
// "silent" or "answering" (the default). Answering, it sends a report every
// 10 ms: 150 of loads 100/200/300/400, 20 with A held, 20 lighter ones,
// then Home; three seconds after it was opened it ends the process.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "device/padwire.h"
#include "device/protocol.h"
#include "sim/report.h"

namespace {
std::atomic<int> mode{dataReportFamily};
std::atomic<int> reads{0};
std::string kind() {
    const char* value = std::getenv("SCRIPTED_BOARD");
    return value ? value : "answering";
}
}  // namespace

extern "C" int32_t OpenHidHandle(int32_t vendorId, int32_t productId) {
    std::fprintf(stderr, "open %04x %04x\n", vendorId, productId);
    if (kind() == "missing")
        return -1;
    std::thread([] {
        std::this_thread::sleep_for(std::chrono::seconds(3));
        std::fflush(nullptr);
        std::_Exit(0);
    }).detach();
    return 42;
}

extern "C" int32_t WriteReport(int32_t handle, unsigned char* report, uint32_t*) {
    std::fprintf(stderr, "write %d %02x %02x %02x %02x\n", handle, report[0], report[1], report[2], report[3]);
    if (handle == 42 && report[0] == modeReportId)
        mode = report[2];
    return handle == 42 ? 0 : -1;
}

extern "C" int32_t ReadReport(int32_t handle, unsigned char* report, uint32_t*) {
    if (handle != 42)
        return -1;
    if (kind() == "silent")
        for (;;)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    auto id = static_cast<uint8_t>(mode.load());
    sim::ReportFields fields;
    fields.accel = 0x40;
    if (id != accelerometerMode) {
        int n = reads++;
        fields.buttons2 = n >= 190 ? homeButton : (n >= 150 && n < 170) ? aButton : 0;
        const int32_t loads[4] = {100, 200, 300, n >= 170 ? 350 : 400};
        std::copy(loads, loads + 4, fields.loads);
    }
    return static_cast<int32_t>(sim::EncodeReport(id, fields, report));
}

extern "C" int32_t CloseHidHandle(int32_t handle) {
    std::fprintf(stderr, "close %d\n", handle);
    return handle == 42 ? 0 : -1;
}
