// The Windows HID backend against the system's own HID stack. Under Wine
// that stack shows two virtual devices of vendor 0x845E: a mouse (product
// 0x0001, 2-byte input reports) and a keyboard (product 0x0002), neither
// with output reports and neither sending input unless a user does, so a
// read on them stays pending. No weighing board is present.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <utility>
#include <vector>

#include "device/padwire.h"
#include "platform/platform.h"
#include "under_wine.h"
#include "windows_hid_list.h"

namespace {

constexpr int32_t wineVendor = 0x845E;
constexpr int32_t wineMouse = 0x0001;
constexpr int32_t wineKeyboard = 0x0002;

// Wine's virtual devices are there for the first seconds of a Wine session
// and may be gone later on; ./dev test runs these tests first.
bool WineDevicesPresent() {
    return test::UnderWine() && !ListedHidPath(wineVendor, wineMouse).empty() &&
           !ListedHidPath(wineVendor, wineKeyboard).empty();
}

#define NEED_WINE_DEVICES()    \
    if (!WineDevicesPresent()) \
    GTEST_SKIP() << "Wine's virtual HID devices are not there"

// Polls until done() holds, for at most a generous bound.
template <typename Done>
bool WaitFor(Done done) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done() && std::chrono::steady_clock::now() < until)
        Sleep(1);
    return done();
}

// A report buffer and an info word as handed to a call, marked so that a
// call that must not touch them is seen if it does.
struct Marked {
    std::array<unsigned char, 256> report;
    uint32_t info = 0xC0FFEE;
    Marked() { report.fill(0x5A); }
    bool operator==(const Marked&) const = default;
};

TEST(WindowsHid, OpensOnlyWhenVendorAndProductBothMatch) {
    NEED_WINE_DEVICES();
    // Each pair shares one ID with a device that is there, or would match
    // it if only its low 16 bits were compared.
    const std::pair<int32_t, int32_t> absent[] = {
        {wineVendor, 0x0306},
        {0x057E, wineMouse},
        {0x0000, 0x0000},
        {wineVendor + 0x10000, wineMouse},
        {wineVendor, wineMouse + 0x10000},
        {-1, -1},
    };
    for (auto [vendor, product] : absent)
        EXPECT_EQ(OpenHidHandle(vendor, product), -1) << std::hex << vendor << ":" << product;
}

TEST(WindowsHid, CallsOnHandlesThatNameNoDeviceFailAndTouchNothing) {
    for (int32_t handle : {-1, 0, 1, 8, 9, INT32_MAX, INT32_MIN}) {
        SCOPED_TRACE(handle);
        Marked marked;
        EXPECT_EQ(ReadReport(handle, marked.report.data(), &marked.info), -1);
        EXPECT_EQ(WriteReport(handle, marked.report.data(), &marked.info), -1);
        EXPECT_EQ(CloseHidHandle(handle), -1);
        EXPECT_EQ(marked, Marked());
    }
}

TEST(WindowsHid, FindsDevicesByVendorAndProductAndClosesThem) {
    NEED_WINE_DEVICES();
    int32_t mouse = OpenHidHandle(wineVendor, wineMouse);
    int32_t keyboard = OpenHidHandle(wineVendor, wineKeyboard);
    ASSERT_NE(mouse, -1);
    ASSERT_NE(keyboard, -1);
    EXPECT_NE(mouse, keyboard);
    EXPECT_EQ(CloseHidHandle(mouse), 0);
    EXPECT_EQ(CloseHidHandle(mouse), -1);  // closed: it names nothing now
    EXPECT_EQ(CloseHidHandle(keyboard), 0);
}

TEST(WindowsHid, OpenHandlesAreBoundedAndClosedOnesAreReused) {
    NEED_WINE_DEVICES();
    std::vector<int32_t> handles;
    for (int32_t handle; (handle = OpenHidHandle(wineVendor, wineMouse)) != -1 && handles.size() < 64;)
        handles.push_back(handle);
    ASSERT_EQ(handles.size(), 8u);
    EXPECT_EQ(OpenHidHandle(wineVendor, wineKeyboard), -1);  // no slot left
    EXPECT_EQ(CloseHidHandle(handles[3]), 0);
    EXPECT_EQ(OpenHidHandle(wineVendor, wineKeyboard), handles[3]);
    for (int32_t handle : handles)
        EXPECT_EQ(CloseHidHandle(handle), 0);
}

TEST(WindowsHid, WriteToADeviceWithoutOutputReportsFails) {
    NEED_WINE_DEVICES();
    int32_t mouse = OpenHidHandle(wineVendor, wineMouse);
    ASSERT_NE(mouse, -1);
    Marked write;
    write.report[0] = 0x12;
    EXPECT_EQ(WriteReport(mouse, write.report.data(), &write.info), -1);  // at once: it takes no output reports
    EXPECT_EQ(write.info, Marked().info);
    EXPECT_EQ(CloseHidHandle(mouse), 0);
}

// As on the program's failed-open path: a probe waits in a read that never
// completes, is ended by force, and the handle is closed. The close cancels
// the pending read and waits for it, and nothing reaches the buffer.
std::atomic<int32_t> readHandle;
std::atomic<int> readsStarted, readsReturned;
Marked readInto;

TEST(WindowsHid, PendingReadEndedByForceIsCancelledByTheClose) {
    NEED_WINE_DEVICES();
    ASSERT_TRUE(WaitFor([] { return TestLiveThreads() == 0; }));
    int32_t mouse = OpenHidHandle(wineVendor, wineMouse);
    ASSERT_NE(mouse, -1);
    readHandle = mouse, readsStarted = 0, readsReturned = 0, readInto = Marked();
    PlatformThread reader = PlatformStartThread([] {
        readsStarted.fetch_add(1);
        ReadReport(readHandle.load(), readInto.report.data(), &readInto.info);
        readsReturned.fetch_add(1);
    });
    ASSERT_NE(reader, 0u);
    ASSERT_TRUE(WaitFor([] { return readsStarted.load() == 1; }));
    Sleep(200);  // well into the read, which no input completes
    EXPECT_EQ(readsReturned.load(), 0);
    EXPECT_EQ(TestLiveThreads(), 1);
    PlatformKillThread(reader, 0xFFFFFFFFu);
    EXPECT_EQ(TestLiveThreads(), 0);
    EXPECT_EQ(CloseHidHandle(mouse), 0);
    EXPECT_EQ(readsReturned.load(), 0);
    EXPECT_EQ(readInto, Marked());
    // The slot is free again, with a fresh read state.
    int32_t again = OpenHidHandle(wineVendor, wineMouse);
    EXPECT_EQ(again, mouse);
    EXPECT_EQ(CloseHidHandle(again), 0);
}

}  // namespace
