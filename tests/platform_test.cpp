// The platform layer: counter, threads, forced end, sleep, message.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include "platform/platform.h"
#include "support.h"
#include "under_wine.h"

namespace {

using namespace std::chrono_literals;

std::atomic<int> ran;
std::atomic<int> blocked;
std::atomic<int> afterBlock;

void Count() { ran.fetch_add(1); }

void BlockForGood() {
    blocked.store(1);
    for (;;)
        PlatformSleep(1000);
}

void BlockThenMark() {
    blocked.store(1);
    PlatformSleep(200);
    afterBlock.store(1);
}

TEST(Counter, RunsForwardAtItsFrequency) {
    int64_t frequency = PlatformCounterFrequency();
    ASSERT_GT(frequency, 0);
    int64_t first = PlatformCounter();
    auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(20ms);
    int64_t second = PlatformCounter();
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GT(second, first);
    double counted = static_cast<double>(second - first) / static_cast<double>(frequency);
    double measured = std::chrono::duration<double>(elapsed).count();
    // The counter and the standard clock agree on the sleep within 5 ms.
    EXPECT_NEAR(counted, measured, 0.005);
}

TEST(Threads, JoinableAndDetachedBodiesRunAndEnd) {
    ASSERT_TRUE(test::WaitForProgramThreads());
    ran = 0;
    PlatformThread thread = PlatformStartThread(Count);
    ASSERT_NE(thread, 0u);
    PlatformJoinThread(thread);
    EXPECT_EQ(ran.load(), 1);
    PlatformStartDetachedThread(Count);
    PlatformStartDetachedThread(Count);
    EXPECT_TRUE(test::WaitFor([] { return ran.load() == 3; }));
    EXPECT_TRUE(test::WaitForProgramThreads());
}

TEST(Threads, KillEndsABlockedThreadAndWaitsForIt) {
    ASSERT_TRUE(test::WaitForProgramThreads());
    blocked = 0;
    PlatformThread thread = PlatformStartThread(BlockForGood);
    ASSERT_TRUE(test::WaitFor([] { return blocked.load() == 1; }));
    EXPECT_EQ(TestLiveThreads(), 1);
    PlatformKillThread(thread, 0xFFFFFFFFu);
    EXPECT_EQ(TestLiveThreads(), 0);
}

TEST(Threads, KilledThreadRunsNoMoreOfItsCode) {
    ASSERT_TRUE(test::WaitForProgramThreads());
    blocked = 0;
    afterBlock = 0;
    PlatformThread thread = PlatformStartThread(BlockThenMark);
    ASSERT_TRUE(test::WaitFor([] { return blocked.load() == 1; }));
    PlatformKillThread(thread, 0xFFFFFFFFu);
    std::this_thread::sleep_for(300ms);  // past the end of its sleep
    EXPECT_EQ(afterBlock.load(), 0);
    EXPECT_EQ(TestLiveThreads(), 0);
}

TEST(Threads, KillOfAThreadThatHasEndedIsHarmless) {
    ASSERT_TRUE(test::WaitForProgramThreads());
    ran = 0;
    PlatformThread thread = PlatformStartThread(Count);
    ASSERT_TRUE(test::WaitFor([] { return TestLiveThreads() == 0; }));
    PlatformKillThread(thread, 0xFFFFFFFFu);
    EXPECT_EQ(ran.load(), 1);
    EXPECT_EQ(TestLiveThreads(), 0);
}

TEST(Threads, NullHandleIsIgnored) {
    PlatformJoinThread(0);
    PlatformKillThread(0, 0xFFFFFFFFu);
    EXPECT_EQ(TestLiveThreads(), 0);
}

TEST(Sleep, LastsAtLeastAsLongAsAsked) {
    for (uint32_t ms : {0u, 1u, 15u}) {
        auto start = std::chrono::steady_clock::now();
        PlatformSleep(ms);
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(ms));
    }
}

// The first sleep of 0, 1 and 15 ms that ended early, or -1 when none did.
int ShortSleep() {
    for (int ms : {0, 1, 15}) {
        auto start = std::chrono::steady_clock::now();
        PlatformSleep(static_cast<uint32_t>(ms));
        if (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(ms))
            return ms;
    }
    return -1;
}

#ifdef __linux__
long TimerSlack() {
    return prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL);
}
#endif

// Whether this system offers what the precise sleep needs.
bool SystemOffersPreciseSleep() {
#if defined(__linux__)
    return true;
#elif defined(_WIN32)
    // Wine takes the high-resolution flag but makes an ordinary timer.
    if (test::UnderWine())
        return false;
    HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, 0x00000002, TIMER_ALL_ACCESS);
    if (timer == nullptr)
        return false;
    CloseHandle(timer);
    return true;
#else
    return false;
#endif
}

// The thread that readies the platform runs the display loop: its sleeps
// are the precise ones where the system has them, and still last as long
// as asked; PlatformEnd gives the thread its plain sleep back.
TEST(Sleep, PreciseOnTheThreadThatReadiedThePlatform) {
#ifdef __linux__
    long slack = TimerSlack();
#endif
    PlatformStart();
    EXPECT_EQ(TestPreciseSleep(), SystemOffersPreciseSleep() ? 1 : 0);
#ifdef __linux__
    EXPECT_EQ(TimerSlack(), 1);
#endif
    EXPECT_EQ(ShortSleep(), -1);
    PlatformEnd();
    EXPECT_EQ(TestPreciseSleep(), 0);
#ifdef __linux__
    EXPECT_EQ(TimerSlack(), slack);
#endif
}

// Other threads sleep as they always do, also while the readied thread
// sleeps on its own timer.
TEST(Sleep, OtherThreadsSleepAsLongAsAskedBesideThePreciseOne) {
    ASSERT_TRUE(test::WaitForProgramThreads());
    PlatformStart();
    ran = -2;
    PlatformThread thread = PlatformStartThread([] { ran.store(ShortSleep()); });
    ASSERT_NE(thread, 0u);
    for (int i = 0; i < 20; ++i)
        PlatformSleep(1);
    PlatformJoinThread(thread);
    EXPECT_EQ(ran.load(), -1);
    PlatformEnd();
}

// A system without the precise sleep (Windows before 10 1803, which
// refuses the high-resolution flag, and Wine; Linux and newer Windows have
// it, so the test asks for this path): the readied thread sleeps as any
// other, as long as asked.
TEST(Sleep, PlainWhereTheSystemOffersNoPreciseOne) {
#ifdef __linux__
    long slack = TimerSlack();
#endif
    testPlainSleep = true;
    PlatformStart();
    EXPECT_EQ(TestPreciseSleep(), 0);
#ifdef __linux__
    EXPECT_EQ(TimerSlack(), slack);
#endif
    EXPECT_EQ(ShortSleep(), -1);
    PlatformEnd();
    EXPECT_EQ(TestPreciseSleep(), 0);
    test::ResetProgram();
}

std::string hooked;
void Hook(const char* text) { hooked = text; }

TEST(Message, GoesToTheHookWhenOneIsSet) {
    testMessageHook = Hook;
    PlatformMessage("Wii-Remote not found.");
    test::ResetProgram();
    EXPECT_EQ(hooked, "Wii-Remote not found.");
}

#ifndef _WIN32
TEST(Message, WithoutATerminalIsOneLineOnStandardError) {
    if (isatty(STDIN_FILENO))
        GTEST_SKIP() << "standard input is a terminal: the message would wait for Enter";
    test::ResetProgram();
    testing::internal::CaptureStderr();
    PlatformMessage("Wii-Remote cannot open.");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Wii-Remote cannot open.\n");
}
#endif

#ifdef _WIN32
// Threads live in a fixed table on Windows: ended threads must give their
// place back, and a handle that was joined names nothing afterwards.
TEST(Threads, EndedThreadsGiveTheirPlaceBack) {
    ASSERT_TRUE(test::WaitForProgramThreads());
    ran = 0;
    for (int i = 0; i < 300; ++i) {  // 600 starts, more than the table holds
        PlatformThread thread = PlatformStartThread(Count);
        ASSERT_NE(thread, 0u) << "start " << i;
        PlatformJoinThread(thread);
        PlatformStartDetachedThread(Count);
        ASSERT_TRUE(test::WaitFor([i] { return ran.load() == 2 * (i + 1); })) << "start " << i;
    }
    EXPECT_TRUE(test::WaitForProgramThreads());
}

TEST(Threads, JoinedHandleIsIgnoredAfterwards) {
    ASSERT_TRUE(test::WaitForProgramThreads());
    ran = 0;
    PlatformThread thread = PlatformStartThread(Count);
    PlatformJoinThread(thread);
    PlatformJoinThread(thread);
    PlatformKillThread(thread, 0xFFFFFFFFu);
    EXPECT_EQ(ran.load(), 1);
    EXPECT_EQ(TestLiveThreads(), 0);
}
#endif

}  // namespace
