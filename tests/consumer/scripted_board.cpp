// A board of the consumer's own, chosen by SCRIPTED_BOARD: "missing",
// "silent" or "answering" (the default). Answering, it sends a report every
// 10 ms: 150 of loads 100/200/300/400, 20 with A held, 20 lighter ones,
// then Home; three seconds after it was opened it ends the process.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "device/padwire.h"

namespace {
std::atomic<int> mode{0x30};
std::atomic<int> reads{0};
std::string kind() {
    const char* value = std::getenv("SCRIPTED_BOARD");
    return value ? value : "answering";
}
void Put(unsigned char* r, int at, int word) {
    r[at] = static_cast<unsigned char>(word >> 8);
    r[at + 1] = static_cast<unsigned char>(word & 0xFF);
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
    if (handle == 42 && report[0] == 0x12)
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
    std::memset(report, 0, 22);
    report[0] = static_cast<unsigned char>(mode.load());
    if (mode == 0x31) {
        report[3] = 0x40;
        return 6;
    }
    int n = reads++;
    int lighter = n >= 170 ? 50 : 0;
    report[2] = n >= 190 ? 0x80 : (n >= 150 && n < 170) ? 0x08 : 0x00;
    Put(report, 3, 100);
    Put(report, 5, 200);
    Put(report, 7, 300);
    Put(report, 9, 400 - lighter);
    return 22;
}

extern "C" int32_t CloseHidHandle(int32_t handle) {
    std::fprintf(stderr, "close %d\n", handle);
    return handle == 42 ? 0 : -1;
}
