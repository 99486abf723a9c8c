// What weigh takes from the operating system, behind one small interface:
// the process's start and end, the high-resolution counter, threads, sleep
// and the modal message.
// platform/posix.cpp and platform/windows.cpp implement it; nothing outside
// this folder and the HID backends may depend on the platform.
#ifndef WEIGH_PLATFORM_H
#define WEIGH_PLATFORM_H

#include <cstdint>

// Readies the process for the run: called once, on the main thread, before
// any file or device is opened and before any thread is started. POSIX:
// descriptors 0, 1 and 2 are open (to /dev/null where they were closed), so
// that nothing the program opens later becomes standard output. Both: the
// calling thread, which runs the display loop, gets a sleep that ends as
// soon after the time asked as the system allows, where the system offers
// one (how, in posix.cpp and windows.cpp). Windows: the timer resolution is
// 1 ms, for every thread's sleeps.
void PlatformStart();

// Undoes PlatformStart on the program's own ways out (the system undoes it
// when the process is ended from outside).
void PlatformEnd();

// The high-resolution counter: counts since an arbitrary start, and counts per second.
int64_t PlatformCounter();
int64_t PlatformCounterFrequency();

// A thread that was started joinable; 0 means none.
typedef uintptr_t PlatformThread;

// Starts body on a new thread with the default stack size. The joinable
// form hands back a handle that stays valid until PlatformJoinThread or
// PlatformKillThread releases it; 0 when the thread could not start.
PlatformThread PlatformStartThread(void (*body)());
void PlatformStartDetachedThread(void (*body)());

// Waits for the thread's end and releases the handle.
void PlatformJoinThread(PlatformThread thread);

// Ends the thread by force, even when it is blocked in a read, waits until
// it has ended, and releases the handle. Once this returns the thread runs
// no more of its code.
void PlatformKillThread(PlatformThread thread, uint32_t exitCode);

// Sleeps at least ms milliseconds; on the thread that called PlatformStart,
// as precisely as PlatformStart made it.
void PlatformSleep(uint32_t ms);

// Shows text to the user and returns once it has been acknowledged. The
// text always goes, on its own line, to standard error as well: where the
// system has no way to show it (no desktop, no terminal) that is where it
// is seen.
void PlatformMessage(const char* text);

#ifdef WEIGH_TEST_HOOKS
// Test seams: for tests and tools only, and only in their builds. The
// program never sets or calls them, and unset they change nothing.

// When set, PlatformMessage hands the text to it instead, so that a test
// sees the messages without a user to dismiss them. Unset: shown as above.
extern void (*testMessageHook)(const char* text);

// When true before PlatformStart, PlatformStart leaves the sleep as it is,
// as on a system without a precise one. False: the precise sleep, where
// the system offers it.
extern bool testPlainSleep;

// The threads started here that have not yet ended.
int32_t TestLiveThreads();

// 1 when PlatformStart gave its thread the precise sleep, 0 when that
// thread sleeps as any other.
int32_t TestPreciseSleep();
#endif

#endif
