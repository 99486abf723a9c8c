// The platform layer: counter, threads, forced end, sleep, message.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
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

std::atomic<int> ran, blocked, afterBlock;
constexpr uint32_t killed = 0xFFFFFFFFu;  // the exit code of a thread ended by force

void Count() {
    ran.fetch_add(1);
}

// Each test of the threads starts with none of the program's alive and its
// marks cleared.
struct Threads : testing::Test {
    void SetUp() override {
        ASSERT_TRUE(test::WaitForProgramThreads());
        ran = 0, blocked = 0, afterBlock = 0;
    }
};

// Over a 20 ms sleep, however long it took, the counter counts at least the
// sleep and at most what the standard clock read around it saw (5 ms slack).
TEST(Counter, RunsForwardAtItsFrequency) {
    int64_t frequency = PlatformCounterFrequency();
    ASSERT_GT(frequency, 0);
    auto start = std::chrono::steady_clock::now();
    int64_t first = PlatformCounter();
    std::this_thread::sleep_for(20ms);
    double counted = static_cast<double>(PlatformCounter() - first) / static_cast<double>(frequency);
    std::chrono::duration<double> around = std::chrono::steady_clock::now() - start;
    EXPECT_GE(counted, 0.020 - 0.005);
    EXPECT_LE(counted, around.count() + 0.005);
}

TEST_F(Threads, JoinableAndDetachedBodiesRunAndEnd) {
    PlatformThread thread = PlatformStartThread(Count);
    ASSERT_NE(thread, 0u);
    PlatformJoinThread(thread);
    EXPECT_EQ(ran.load(), 1);
    PlatformStartDetachedThread(Count);
    PlatformStartDetachedThread(Count);
    EXPECT_TRUE(test::WaitFor([] { return ran.load() == 3; }));
    EXPECT_TRUE(test::WaitForProgramThreads());
}

TEST_F(Threads, KillEndsABlockedThreadAndWaitsForIt) {
    PlatformThread thread = PlatformStartThread([] {
        blocked = 1;
        for (;;)
            PlatformSleep(1000);
    });
    ASSERT_TRUE(test::WaitFor([] { return blocked.load() == 1; }));
    EXPECT_EQ(TestLiveThreads(), 1);
    PlatformKillThread(thread, killed);
    EXPECT_EQ(TestLiveThreads(), 0);
}

TEST_F(Threads, KilledThreadRunsNoMoreOfItsCode) {
    PlatformThread thread = PlatformStartThread([] {
        blocked = 1;
        PlatformSleep(200);
        afterBlock = 1;
    });
    ASSERT_TRUE(test::WaitFor([] { return blocked.load() == 1; }));
    PlatformKillThread(thread, killed);
    std::this_thread::sleep_for(300ms);  // past the end of its sleep
    EXPECT_EQ(afterBlock.load(), 0);
    EXPECT_EQ(TestLiveThreads(), 0);
}

TEST_F(Threads, KillOfAThreadThatHasEndedIsHarmless) {
    PlatformThread thread = PlatformStartThread(Count);
    ASSERT_TRUE(test::WaitFor([] { return TestLiveThreads() == 0; }));
    PlatformKillThread(thread, killed);
    EXPECT_EQ(ran.load(), 1);
    EXPECT_EQ(TestLiveThreads(), 0);
}

TEST_F(Threads, NullHandleIsIgnored) {
    PlatformJoinThread(0);
    PlatformKillThread(0, killed);
    EXPECT_EQ(TestLiveThreads(), 0);
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

TEST(Sleep, LastsAtLeastAsLongAsAsked) {
    EXPECT_EQ(ShortSleep(), -1) << "a sleep of that many ms ended early";
}

// The calling thread's timer slack, which the precise sleep sets to 1 ns on
// Linux; 0 where there is none.
#ifdef __linux__
constexpr long preciseSlack = 1;
const auto TimerSlack = [] { return prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL); };
#else
constexpr long preciseSlack = 0;
const auto TimerSlack = [] { return 0L; };
#endif

// Readies the platform on this thread and ends it: whether its sleeps are
// precise, which they tell by TestPreciseSleep and the slack, and last as
// long as asked all the same; PlatformEnd gives the plain sleep back.
void ExpectReadiedThreadSleeps(bool precise) {
    long slack = TimerSlack();
    PlatformStart();
    EXPECT_EQ(TestPreciseSleep(), precise ? 1 : 0);
    EXPECT_EQ(TimerSlack(), precise ? preciseSlack : slack);
    EXPECT_EQ(ShortSleep(), -1);
    PlatformEnd();
    EXPECT_EQ(TestPreciseSleep(), 0);
    EXPECT_EQ(TimerSlack(), slack);
}

// Whether this system offers what the precise sleep needs.
bool SystemOffersPreciseSleep() {
#if defined(__linux__)
    return true;
#elif defined(_WIN32)
    // Wine takes the high-resolution flag but makes an ordinary timer.
    HANDLE timer = test::UnderWine() ? nullptr : CreateWaitableTimerExW(nullptr, nullptr, 0x00000002, TIMER_ALL_ACCESS);
    return timer != nullptr && CloseHandle(timer);
#else
    return false;
#endif
}

// The thread that readies the platform runs the display loop: its sleeps
// are the precise ones where the system has them.
TEST(Sleep, PreciseOnTheThreadThatReadiedThePlatform) {
    ExpectReadiedThreadSleeps(SystemOffersPreciseSleep());
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
// other.
TEST(Sleep, PlainWhereTheSystemOffersNoPreciseOne) {
    testPlainSleep = true;
    ExpectReadiedThreadSleeps(false);
    test::ResetProgram();
}

std::string hooked;

TEST(Message, GoesToTheHookWhenOneIsSet) {
    testMessageHook = [](const char* text) { hooked = text; };
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
#else
// Threads live in a fixed table on Windows: ended threads must give their
// place back, and a handle that was joined names nothing afterwards.
TEST_F(Threads, EndedThreadsGiveTheirPlaceBack) {
    for (int i = 0; i < 300; ++i) {  // 600 starts, more than the table holds
        PlatformThread thread = PlatformStartThread(Count);
        ASSERT_NE(thread, 0u) << "start " << i;
        PlatformJoinThread(thread);
        PlatformStartDetachedThread(Count);
        ASSERT_TRUE(test::WaitFor([i] { return ran.load() == 2 * (i + 1); })) << "start " << i;
    }
    EXPECT_TRUE(test::WaitForProgramThreads());
}

TEST_F(Threads, JoinedHandleIsIgnoredAfterwards) {
    PlatformThread thread = PlatformStartThread(Count);
    PlatformJoinThread(thread);
    PlatformJoinThread(thread);
    PlatformKillThread(thread, killed);
    EXPECT_EQ(ran.load(), 1);
    EXPECT_EQ(TestLiveThreads(), 0);
}
#endif

}  // namespace
