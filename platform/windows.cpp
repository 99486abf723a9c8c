// The platform layer on Windows: the timer resolution, a high-resolution
// waitable timer, the performance counter, CRT threads, TerminateThread,
// Sleep, and MessageBoxA.
#include <windows.h>

#include <mmsystem.h>
#include <process.h>

#include <atomic>
#include <cstdio>

#include "platform.h"

// Windows 10 1803 and later; older headers lack it.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

#ifdef WEIGH_TEST_HOOKS
void (*testMessageHook)(const char* text);
bool testPlainSleep;
#endif

// The high-resolution timer of the thread that called PlatformStart, and
// that thread: a waitable timer is one object, and a second thread setting
// it would cut short or stretch the first one's wait, so only its own
// thread sleeps on it. Null when the system offers none.
static std::atomic<HANDLE> preciseTimer;
static std::atomic<DWORD> preciseThread;

// Every thread started here has a slot of a fixed table, and the count of
// live threads is the count of slots in the Running state. The program
// runs two at most: the probe and the continuous reader, which waits for
// the probe's end; a start beyond that fails as a failed _beginthreadex
// does. A thread leaves the Running state by a single compare-and-swap at
// the end of its body, and a thread ended by TerminateThread never gets
// there: its slot stays Running until PlatformKillThread, having waited
// for its end, frees it. Whichever of the two happens, the thread is
// counted off exactly once, even when the kill lands between the thread's
// own count and its return.
enum : uint8_t { slotFree, slotRunning, slotEnded };

static constexpr int maxThreads = 2;
static std::atomic<uint8_t> slotState[maxThreads];
static void (*slotBody[maxThreads])();
static bool slotJoinable[maxThreads];
static HANDLE slotHandle[maxThreads];  // joinable threads' handles, until joined or killed

int64_t PlatformCounter() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

int64_t PlatformCounterFrequency() {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart;
}

// The thread's one argument is its slot; the thread itself gets none. A
// joinable thread's slot is kept, Ended, for PlatformJoinThread or
// PlatformKillThread to free; a detached thread frees its own.
static unsigned __stdcall PlatformThreadEntry(void* argument) {
    uintptr_t slot = reinterpret_cast<uintptr_t>(argument);
    slotBody[slot]();
    uint8_t running = slotRunning;
    uint8_t end = slotJoinable[slot] ? slotEnded : slotFree;
    // Release: whoever sees the count drop also sees what the thread wrote.
    slotState[slot].compare_exchange_strong(running, end, std::memory_order_release, std::memory_order_relaxed);
    return 0;
}

static int TakeSlot() {
    for (int slot = 0; slot < maxThreads; ++slot) {
        uint8_t state = slotFree;
        if (slotState[slot].compare_exchange_strong(state, slotRunning, std::memory_order_acquire,
                                                    std::memory_order_relaxed))
            return slot;
    }
    return -1;
}

// _beginthreadex rather than _beginthread: its handle stays valid until we
// close it, where _beginthread's may already be closed when the thread ends,
// and it sets up the C runtime for the thread, which CreateThread does not.
static int StartCrtThread(void (*body)(), bool joinable) {
    int slot = TakeSlot();
    if (slot < 0)
        return -1;
    slotBody[slot] = body;
    slotJoinable[slot] = joinable;
    uintptr_t started = _beginthreadex(nullptr, 0, PlatformThreadEntry,
                                       reinterpret_cast<void*>(static_cast<uintptr_t>(slot)), 0, nullptr);
    if (started == 0) {
        slotState[slot].store(slotFree, std::memory_order_relaxed);
        return -1;
    }
    HANDLE thread = reinterpret_cast<HANDLE>(started);
    if (joinable)
        slotHandle[slot] = thread;
    else
        CloseHandle(thread);
    return slot;
}

// The handle we hand out is the slot's number from 1; 0 means none.
PlatformThread PlatformStartThread(void (*body)()) {
    int slot = StartCrtThread(body, true);
    return slot < 0 ? 0 : static_cast<PlatformThread>(slot) + 1;
}

void PlatformStartDetachedThread(void (*body)()) {
    StartCrtThread(body, false);
}

static int JoinableSlot(PlatformThread thread) {
    if (thread == 0 || thread > maxThreads)
        return -1;
    int slot = static_cast<int>(thread - 1);
    return slotHandle[slot] != nullptr ? slot : -1;
}

static void ReleaseSlot(int slot) {
    CloseHandle(slotHandle[slot]);
    slotHandle[slot] = nullptr;
    slotState[slot].store(slotFree, std::memory_order_release);
}

void PlatformJoinThread(PlatformThread thread) {
    int slot = JoinableSlot(thread);
    if (slot < 0)
        return;
    WaitForSingleObject(slotHandle[slot], INFINITE);
    ReleaseSlot(slot);
}

// TerminateThread ends the thread wherever it is, a pending read included,
// and runs none of its code after that; the wait makes sure it has gone
// before we return. A thread whose body has already returned is only on
// its way out of the runtime and is left to finish: ending it there gains
// nothing, and Wine can leave such a thread hanging. Its slot is freed
// whether the kill ended it or it had ended by itself.
void PlatformKillThread(PlatformThread thread, uint32_t exitCode) {
    int slot = JoinableSlot(thread);
    if (slot < 0)
        return;
    if (slotState[slot].load(std::memory_order_acquire) == slotRunning)
        TerminateThread(slotHandle[slot], exitCode);
    WaitForSingleObject(slotHandle[slot], INFINITE);
    ReleaseSlot(slot);
}

#ifdef WEIGH_TEST_HOOKS
int32_t TestLiveThreads() {
    int32_t live = 0;
    for (int slot = 0; slot < maxThreads; ++slot)
        live += slotState[slot].load(std::memory_order_acquire) == slotRunning;
    return live;
}
#endif

// Sleep(1) lasts up to a whole scheduler tick (about 15.6 ms) at Windows'
// default timer resolution: some 64 lines a second. The resolution is
// raised to 1 ms on the main thread before any thread starts, and lowered
// on the program's own ways out (Windows drops the request with a process
// ended from outside). Even then Sleep(1) lasts to the next tick after the
// full millisecond; a high-resolution waitable timer (Windows 10 1803 and
// later) ends close to it, and where it cannot be made the loop uses Sleep.
// Wine takes the flag without a word and makes an ordinary timer, each wait
// a round trip through its server and longer than Sleep (docs/performance.md),
// so under Wine, whose ntdll exports wine_get_version, the loop uses Sleep.
static bool UnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// The standard descriptors need nothing here: the HID backend's handles are
// not C runtime descriptors and cannot become standard output.
void PlatformStart() {
    timeBeginPeriod(1);
#ifdef WEIGH_TEST_HOOKS
    if (testPlainSleep)
        return;
#endif
    if (UnderWine())
        return;
    HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    if (timer == nullptr)
        return;
    preciseThread.store(GetCurrentThreadId(), std::memory_order_relaxed);
    preciseTimer.store(timer, std::memory_order_release);
}

void PlatformEnd() {
    HANDLE timer = preciseTimer.exchange(nullptr, std::memory_order_acq_rel);
    if (timer != nullptr)
        CloseHandle(timer);
    timeEndPeriod(1);
}

#ifdef WEIGH_TEST_HOOKS
int32_t TestPreciseSleep() {
    return preciseTimer.load(std::memory_order_acquire) != nullptr ? 1 : 0;
}
#endif

// On the timer's own thread a relative due time (negative, in 100 ns
// units) and a wait for it; anywhere else, or should the timer fail, Sleep.
void PlatformSleep(uint32_t ms) {
    HANDLE timer = preciseTimer.load(std::memory_order_acquire);
    if (ms > 0 && timer != nullptr && GetCurrentThreadId() == preciseThread.load(std::memory_order_relaxed)) {
        LARGE_INTEGER due;
        due.QuadPart = -static_cast<LONGLONG>(ms) * 10000;
        if (SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE) &&
            WaitForSingleObject(timer, INFINITE) == WAIT_OBJECT_0)
            return;
    }
    Sleep(ms);
}

// A modal message box with no owner window, the system's default caption
// and a single OK button, and the same text on its own line on standard
// error, first: where no desktop is interactive (a service, a remote session
// without one) the box may wait where nobody sees it, and where none can be
// shown at all (headless Wine) MessageBoxA fails at once. Either way the
// user still learns why the program stopped.
void PlatformMessage(const char* text) {
#ifdef WEIGH_TEST_HOOKS
    if (testMessageHook) {
        testMessageHook(text);
        return;
    }
#endif
    std::fprintf(stderr, "%s\n", text);
    std::fflush(stderr);
    MessageBoxA(nullptr, text, nullptr, MB_OK);
}
