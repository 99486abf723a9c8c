// The simulated board behind device/padwire.h.
//
// A blocked read sleeps in short steps and holds no lock while it sleeps,
// so a reader ended by force (pthread_cancel, TerminateThread) leaves the
// board usable for the next one.
#include "board.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "../device/identity.h"
#include "../device/padwire.h"
#include "model.h"

namespace sim {

#ifdef WEIGH_TEST_HOOKS
void (*testReportObserver)(const uint8_t* bytes, size_t length);
#endif

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::memory_order relaxed = std::memory_order_relaxed;
constexpr auto pollStep = std::chrono::milliseconds(2);

// The handle handed out last and not closed since (0: none), and how many
// handles of earlier power cycles are still open beside it.
std::atomic<int32_t> openHandle;
std::atomic<int32_t> staleHandles;
std::atomic<int64_t> delivered, failed;
std::atomic<int32_t> inside, mostInside;
std::atomic<uint32_t> generation;

std::mutex mutex;  // guards model, remote, calls and pushed
Model model;       // its clock starts at the first open
// The family's remote: the board's IDs, its own name, no loads. It answers
// the open check and takes reports as the board does.
Model remote;
std::atomic<bool> remoteOpen;
std::vector<Call> calls;
std::deque<std::vector<uint8_t>> pushed;

void Record(const Call& call) {
    std::lock_guard<std::mutex> lock(mutex);
    calls.push_back(call);
}

// Counts the threads inside ReadReport; its destructor also runs when a
// thread is cancelled in a sleep below.
struct ReadGuard {
    ReadGuard() {
        int32_t now = inside.fetch_add(1, relaxed) + 1;
        int32_t most = mostInside.load(relaxed);
        while (now > most && !mostInside.compare_exchange_weak(most, now, relaxed)) {
        }
    }
    // A read from before the last Reset no longer counts: Reset zeroed it.
    ~ReadGuard() {
        if (generation.load(relaxed) == startGeneration)
            inside.fetch_sub(1, relaxed);
    }
    uint32_t startGeneration = generation.load(relaxed);
    ReadGuard(const ReadGuard&) = delete;
    ReadGuard& operator=(const ReadGuard&) = delete;
};

// The handle that reaches the board where it stands: the one handed out in
// the board's present power cycle, while the board is on. One from an
// earlier cycle never works again.
bool Reaches(int32_t handle, const Standing& standing) {
    return handle != 0 && handle == openHandle.load(relaxed) && standing.presence != Presence::Off &&
           handle == boardHandle + standing.moment.powerCycles;
}

// A handle handed out by the board and not yet closed, dead or alive.
bool IsOpen(int32_t handle) {
    int32_t open = openHandle.load(relaxed);
    return handle != 0 &&
           (handle == open || (handle >= boardHandle && handle < open && staleHandles.load(relaxed) > 0));
}

void Hand(const unsigned char* report, int32_t length) {
    delivered.fetch_add(1, relaxed);
#ifdef WEIGH_TEST_HOOKS
    if (testReportObserver)
        testReportObserver(report, static_cast<size_t>(length));
#else
    (void)report;
    (void)length;
#endif
}

// Ends the process when the model says the script has ended, even when no
// thread calls on the board any more (the reader stops on Home): it looks
// at each change the model foresees. A script without an end line never
// ends the process.
void StartEndWatcher() {
    if (!EndStep(model.script()))
        return;
    uint32_t mine = generation.load(relaxed);
    std::thread([mine] {
        Standing standing;
        int64_t wakeNs = 0;
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (generation.load(relaxed) != mine)
                    return;
                int64_t now = NowNs();
                standing = model.Stand(now);
                wakeNs = now + (standing.untilMs - model.Ms(now)) * 1000000;  // to the ms
            }
            if (standing.presence == Presence::Ended)
                break;
            if (standing.untilMs < 0)
                return;
            std::this_thread::sleep_until(Clock::time_point(std::chrono::nanoseconds(wakeNs)));
        }
#ifdef WEIGH_TEST_HOOKS
        if (std::getenv(testStatsVariable))
            std::fprintf(stderr, "weigh-sim: %lld reports delivered, %lld reads failed\n",
                         static_cast<long long>(delivered.load(relaxed)), static_cast<long long>(failed.load(relaxed)));
#endif
        std::fflush(nullptr);
        std::_Exit(standing.exitStatus);
    }).detach();
}

}  // namespace

bool LoadScript(std::string_view text, std::string* error) {
    Script parsed;
    if (!ParseScript(text, &parsed, error))
        return false;
    Reset();
    std::lock_guard<std::mutex> lock(mutex);
    model = Model(std::move(parsed));
    return true;
}

void Reset() {
    generation.fetch_add(1, relaxed);
    openHandle.store(0, relaxed);
    staleHandles.store(0, relaxed);
    delivered.store(0, relaxed);
    failed.store(0, relaxed);
    // No thread is inside a call now: a count left over is a read whose
    // thread was ended by force without unwinding (TerminateThread).
    inside.store(0, relaxed);
    mostInside.store(0, relaxed);
    remoteOpen.store(false, relaxed);
    DeviceOpened();  // a remote alone is said afresh
    std::lock_guard<std::mutex> lock(mutex);
    model = Model();
    remote = Model();
    calls.clear();
    // Room for a long run's calls, in memory in use from the start, so
    // that recording them does not grow the process while a test watches it.
    if (calls.capacity() < 4096) {
        calls.resize(4096);
        calls.clear();
    }
    pushed.clear();
}

std::vector<Call> Calls() {
    std::lock_guard<std::mutex> lock(mutex);
    return calls;
}

int64_t ReportsDelivered() {
    return delivered.load(relaxed);
}
int64_t ReadsFailed() {
    return failed.load(relaxed);
}
int32_t MostConcurrentReads() {
    return mostInside.load(relaxed);
}
int32_t ReadsInside() {
    return inside.load(relaxed);
}
int32_t OpenHandles() {
    return (openHandle.load(relaxed) != 0 ? 1 : 0) + staleHandles.load(relaxed);
}

void PushReport(const uint8_t* bytes, size_t length) {
    length = std::min<size_t>(length, 256);
    std::lock_guard<std::mutex> lock(mutex);
    pushed.emplace_back(bytes, bytes + length);
}

int64_t BoardClockMs() {
    std::lock_guard<std::mutex> lock(mutex);
    return model.Ms(NowNs());
}

}  // namespace sim

using namespace sim;

// A board that is switched off is not there to be opened; an unplugged
// one still is, and its reads and writes fail.
extern "C" int32_t OpenHidHandle(int32_t vendorId, int32_t productId) {
    Call call;
    call.kind = Call::Open;
    call.vendorId = vendorId;
    call.productId = productId;
    std::unique_lock<std::mutex> lock(mutex);
    int64_t now = NowNs();
    Standing standing = model.Stand(now);
    bool ids = vendorId == boardVendorId && productId == boardProductId;
    bool boardThere = ids && standing.presence != Presence::Off;
    bool remoteThere = ids && model.script().remote;
    // The devices with these IDs as a system lists them, the remote first,
    // and the one the backends' rule takes.
    const char* listed[2] = {remoteThere ? remoteName : nullptr, boardThere ? boardName : nullptr};
    int chosen = -1;
    for (int32_t preference : {takenFirst, takenIfNoBoard})
        for (int i = 0; i < 2 && chosen < 0; ++i)
            if (listed[i] && PreferenceByName(listed[i]) == preference)
                chosen = i;
    int32_t handle = chosen == 1 ? boardHandle + standing.moment.powerCycles : chosen == 0 ? remoteHandle : -1;
    call.handle = call.result = handle;
    calls.push_back(call);
    if (handle == -1) {
        if (remoteThere)
            SayOnlyRemoteFound();
        return -1;
    }
    DeviceOpened();
    if (handle == remoteHandle) {
        remoteOpen.store(true, relaxed);
        if (!remote.Started())
            remote.Start(now);
        return handle;
    }
    model.RestartPacing();
    int32_t before = openHandle.exchange(handle, relaxed);
    if (before != 0 && before != handle)
        staleHandles.fetch_add(1, relaxed);
    if (!model.Started()) {
        model.Start(now);
        StartEndWatcher();
    }
    return handle;
}

extern "C" int32_t WriteReport(int32_t handle, unsigned char* report, uint32_t*) {
    Call call;
    call.kind = Call::Write;
    call.handle = handle;
    bool toRemote = handle == remoteHandle && remoteOpen.load(relaxed);
    bool ours = IsOpen(handle) || toRemote;
    if (ours)
        std::memcpy(call.bytes.data(), report, call.bytes.size());
    std::lock_guard<std::mutex> lock(mutex);
    int64_t now = NowNs();
    Standing standing = model.Stand(now);
    bool reaches = toRemote || (ours && Reaches(handle, standing) && standing.presence != Presence::Unplugged);
    call.result = reaches ? 0 : -1;
    if (reaches)
        (toRemote ? remote : model).Output(now, call.bytes.data(), call.bytes.size());
    calls.push_back(call);
    return call.result;
}

// A read on a handle that is not open is recorded. One on the board's
// handle after the board went, or on the remote's once it is closed, fails
// at once, as often as it is made, and is only counted.
extern "C" int32_t ReadReport(int32_t handle, unsigned char* report, uint32_t*) {
    bool onRemote = handle == remoteHandle && remoteOpen.load(relaxed);
    if (!onRemote && !IsOpen(handle)) {
        Call call;
        call.kind = Call::Read;
        call.handle = handle;
        call.result = -1;
        Record(call);
        failed.fetch_add(1, relaxed);
        return -1;
    }
    Model& board = onRemote ? remote : model;
    ReadGuard guard;
    for (;;) {
        int64_t now = NowNs();
        uint8_t built[256];
        int64_t until = 0;
        int32_t length = -1;  // -1: the read fails
        bool given = false;   // a pushed report, even an empty one
        {
            std::lock_guard<std::mutex> lock(mutex);
            Standing standing = board.Stand(now);
            bool reaches = onRemote ? remoteOpen.load(relaxed) : Reaches(handle, standing);
            if (reaches && !onRemote && !pushed.empty()) {
                length = static_cast<int32_t>(pushed.front().size());
                std::copy(pushed.front().begin(), pushed.front().end(), built);
                pushed.pop_front();
                given = true;
            } else if (reaches && standing.presence != Presence::Unplugged) {
                length = static_cast<int32_t>(board.Poll(now, standing.moment, built, &until));
            }
        }
        if (length < 0) {
            failed.fetch_add(1, relaxed);
            return -1;
        }
        if (length == 0 && !given) {
            // Short steps, so that a change of script or mode on the way
            // is seen by the report that comes.
            std::this_thread::sleep_for(
                std::min<std::chrono::nanoseconds>(std::chrono::nanoseconds(until - now), pollStep));
            continue;
        }
        std::memcpy(report, built, static_cast<size_t>(length));
        Hand(report, length);
        return length;
    }
}

extern "C" int32_t CloseHidHandle(int32_t handle) {
    Call call;
    call.kind = Call::Close;
    call.handle = handle;
    bool toRemote = handle == remoteHandle && remoteOpen.exchange(false, relaxed);
    bool ours = toRemote || IsOpen(handle);
    call.result = ours ? 0 : -1;
    Record(call);
    if (ours && !toRemote) {
        int32_t expected = handle;
        if (!openHandle.compare_exchange_strong(expected, 0, relaxed))
            staleHandles.fetch_sub(1, relaxed);
    }
    return call.result;
}
