// The platform layer on POSIX systems: the standard descriptors, the timer
// slack, CLOCK_MONOTONIC, pthreads, nanosleep and the message on standard
// error.
#include "platform.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#ifdef __linux__
#include <sys/prctl.h>
#endif

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define WEIGH_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define WEIGH_ASAN 1
#endif
#ifdef WEIGH_ASAN
#include <sanitizer/asan_interface.h>
#endif

static_assert(sizeof(pthread_t) <= sizeof(PlatformThread), "a pthread_t must fit a PlatformThread");

#ifdef WEIGH_TEST_HOOKS
void (*testMessageHook)(const char* text);
bool testPlainSleep;
#endif

static std::atomic<int32_t> liveThreads;

// Whether PlatformStart gave its thread the least timer slack.
static std::atomic<int32_t> preciseSleep;

// A process started with a standard descriptor closed (`weigh >&-`, some
// service managers) would hand that number to the next file it opens: the
// board's node would become standard output, and every display line would
// go to the board as an output report. Each open of /dev/null takes the
// lowest free number, so opening it until the number is above 2 fills every
// closed one of 0, 1 and 2; the last open, the one above 2, is closed again.
// Reads of a filled descriptor see the end of input and writes go nowhere,
// as they would with `</dev/null >/dev/null`. Without /dev/null (a bare
// chroot) there is nothing to fill them with, and they stay as they are.
static void FillStandardDescriptors() {
    for (;;) {
        int null = open("/dev/null", O_RDWR);
        if (null < 0)
            return;
        if (null > 2) {
            close(null);
            return;
        }
    }
}

// Linux ends a thread's sleep up to its timer slack after the time asked,
// so as to wake it together with other timers: 50 us for an ordinary
// thread, 5 % of the display loop's 1 ms sleep. The least slack, 1 ns (0
// would restore the default), ends it as soon as the timer and the
// scheduler allow. It is the calling thread's, and the threads it starts
// afterwards inherit it; a real-time thread has none whatever is set.
// Elsewhere the sleep stays as the system makes it.
void PlatformStart() {
    FillStandardDescriptors();
#ifdef WEIGH_TEST_HOOKS
    if (testPlainSleep)
        return;
#endif
#ifdef __linux__
    if (prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) == 0)
        preciseSleep.store(1, std::memory_order_relaxed);
#endif
}

// Back to the thread's default slack, the one it was started with.
void PlatformEnd() {
#ifdef __linux__
    if (preciseSleep.load(std::memory_order_relaxed))
        prctl(PR_SET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL);
#endif
    preciseSleep.store(0, std::memory_order_relaxed);
}

#ifdef WEIGH_TEST_HOOKS
int32_t TestPreciseSleep() {
    return preciseSleep.load(std::memory_order_relaxed);
}
#endif

int64_t PlatformCounter() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int64_t PlatformCounterFrequency() {
    return 1000000000;
}

// Runs when the body returns and when the thread is cancelled: glibc ends
// a cancelled thread by unwinding its stack through the cleanup handlers.
// That unwinding bypasses AddressSanitizer's bookkeeping, which would then
// find the unwound frames' stale redzones when the thread exits; so under
// AddressSanitizer the thread's stack is marked clean here, all of it (no
// instrumented frame above this one is left to use it).
extern "C" void PlatformThreadEnded(void*) {
#ifdef WEIGH_ASAN
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
        void* low = nullptr;
        size_t size = 0;
        if (pthread_attr_getstack(&attributes, &low, &size) == 0)
            __asan_unpoison_memory_region(low, size);
        pthread_attr_destroy(&attributes);
    }
#endif
    // Release: whoever sees the count drop also sees what the thread wrote.
    liveThreads.fetch_sub(1, std::memory_order_release);
}

// The body travels as the thread's one argument; the thread itself gets none.
extern "C" void* PlatformThreadEntry(void* argument) {
    void (*body)();
    std::memcpy(&body, &argument, sizeof body);
    pthread_cleanup_push(PlatformThreadEnded, nullptr);
    body();
    pthread_cleanup_pop(1);
    return nullptr;
}

static bool StartPthread(void (*body)(), pthread_t* thread) {
    static_assert(sizeof body == sizeof(void*), "a function pointer must fit a void*");
    void* argument;
    std::memcpy(&argument, &body, sizeof argument);
    liveThreads.fetch_add(1, std::memory_order_relaxed);
    if (pthread_create(thread, nullptr, PlatformThreadEntry, argument) != 0) {
        liveThreads.fetch_sub(1, std::memory_order_relaxed);
        return false;
    }
    return true;
}

static pthread_t ToPthread(PlatformThread thread) {
    pthread_t value;
    std::memcpy(&value, &thread, sizeof value);
    return value;
}

PlatformThread PlatformStartThread(void (*body)()) {
    pthread_t thread;
    if (!StartPthread(body, &thread))
        return 0;
    PlatformThread handle = 0;
    std::memcpy(&handle, &thread, sizeof thread);
    return handle;
}

void PlatformStartDetachedThread(void (*body)()) {
    pthread_t thread;
    if (StartPthread(body, &thread))
        pthread_detach(thread);
}

void PlatformJoinThread(PlatformThread thread) {
    if (thread != 0)
        pthread_join(ToPthread(thread), nullptr);
}

// Deferred cancellation acts at the thread's next cancellation point: a
// blocking read, nanosleep or a condition wait, which is where a probe on a
// silent board sits. The join makes sure it has gone before we return. There
// is no exit code to set: a cancelled pthread's result is PTHREAD_CANCELED.
void PlatformKillThread(PlatformThread thread, uint32_t) {
    if (thread == 0)
        return;
    pthread_t target = ToPthread(thread);
    pthread_cancel(target);
    pthread_join(target, nullptr);
}

#ifdef WEIGH_TEST_HOOKS
int32_t TestLiveThreads() {
    return liveThreads.load(std::memory_order_acquire);
}
#endif

void PlatformSleep(uint32_t ms) {
    timespec wait;
    wait.tv_sec = static_cast<time_t>(ms / 1000);
    wait.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (nanosleep(&wait, &wait) == -1 && errno == EINTR) {
    }
}

// A console program's modal message: the text on its own line where the
// user looks for errors, and at a terminal a wait until it has been read.
void PlatformMessage(const char* text) {
#ifdef WEIGH_TEST_HOOKS
    if (testMessageHook) {
        testMessageHook(text);
        return;
    }
#endif
    std::fprintf(stderr, "%s\n", text);
    if (!isatty(STDIN_FILENO))
        return;
    std::fputs("Press Enter to continue.\n", stderr);
    char c;
    while (read(STDIN_FILENO, &c, 1) == 1 && c != '\n') {
    }
}
