// padwire over Linux hidraw.
//
// A handle is the file descriptor of an open /dev/hidrawN node. The node
// is found through sysfs, where each hidraw device's uevent names its bus,
// vendor and product (HID_ID=0005:0000057E:00000306 for a board paired over
// Bluetooth) and the name it gives itself (HID_NAME=...), which tells the
// board from the remote of the same IDs (device/identity.h). hidraw hands over
// one whole input report per read, report ID first, and sends whatever one
// write holds as one output report, so the library only has to know how
// long each output report is: that comes from the device's report
// descriptor, read once at open.
//
// Reads and writes allocate nothing and only look up the table of open
// handles; only opening a node walks directories.
#include "../identity.h"
#include "../padwire.h"
#include "hidraw_internal.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// A slot's fd is -1 when free and -2 while it is being filled or emptied;
// a handle is ours exactly while a slot holds it.
struct HandleSlot {
    std::atomic<int32_t> fd{-1};
    OutputReportLengths lengths;
};

constexpr int slotCount = 8;
constexpr int32_t slotFree = -1;
constexpr int32_t slotBusy = -2;
constexpr int maxMatches = 64;

struct Match {
    int number;          // N of /dev/hidrawN
    int32_t preference;  // takenFirst, takenIfNoBoard or takenNever
};

HandleSlot slots[slotCount];
// The last node we told the user they may not open. A program that looks
// for a board that has gone tries every half second, and a node that
// comes back is closed to the user for a moment, until the udev rule acts:
// the same refusal is said once, not at every try. Opens come from one
// thread at a time.
char refusedPath[PATH_MAX];
char sysRoot[PATH_MAX] = "/sys";
char devRoot[PATH_MAX] = "/dev";

HandleSlot* FindSlot(int32_t handle) {
    if (handle < 0)
        return nullptr;
    for (HandleSlot& slot : slots)
        if (slot.fd.load(std::memory_order_acquire) == handle)
            return &slot;
    return nullptr;
}

#ifdef WEIGH_TEST_HOOKS
void SetRoot(char* root, const char* value, const char* fallback) {
    const char* chosen = value ? value : fallback;
    std::snprintf(root, PATH_MAX, "%s", chosen);
}
#endif

// The number N of a directory entry named hidrawN, or -1.
int NodeNumber(const char* name) {
    if (std::strncmp(name, "hidraw", 6) != 0 || name[6] == '\0')
        return -1;
    long number = 0;
    for (const char* digit = name + 6; *digit; ++digit) {
        if (*digit < '0' || *digit > '9' || number > 100000)
            return -1;
        number = number * 10 + (*digit - '0');
    }
    return static_cast<int>(number);
}

// How far hidrawN's device is to be preferred (device/identity.h), by the
// HID_NAME of its uevent, when its HID_ID=BUS:VENDOR:PRODUCT has these
// IDs; -1 when it has not.
int32_t NodePreference(int number, uint32_t vendorId, uint32_t productId) {
    char path[PATH_MAX];
    if (std::snprintf(path, sizeof path, "%s/class/hidraw/hidraw%d/device/uevent", sysRoot, number) >=
        static_cast<int>(sizeof path))
        return -1;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    char text[4096];
    ssize_t length = read(fd, text, sizeof text - 1);
    close(fd);
    if (length <= 0)
        return -1;
    text[length] = '\0';
    const char* id = nullptr;
    const char* name = nullptr;
    for (char* line = text; line;) {
        char* newline = std::strchr(line, '\n');
        if (newline)
            *newline = '\0';
        if (std::strncmp(line, "HID_ID=", 7) == 0)
            id = line + 7;
        else if (std::strncmp(line, "HID_NAME=", 9) == 0)
            name = line + 9;
        line = newline ? newline + 1 : nullptr;
    }
    if (!id)
        return -1;
    char* end = nullptr;
    std::strtoul(id, &end, 16);  // the bus: any will do
    if (*end != ':')
        return -1;
    unsigned long vendor = std::strtoul(end + 1, &end, 16);
    if (*end != ':')
        return -1;
    unsigned long product = std::strtoul(end + 1, &end, 16);
    if (vendor != vendorId || product != productId)
        return -1;
    return PreferenceByName(name);
}

// The matching nodes, lowest number first.
int FindMatches(uint32_t vendorId, uint32_t productId, Match* matches) {
    char path[PATH_MAX];
    if (std::snprintf(path, sizeof path, "%s/class/hidraw", sysRoot) >= static_cast<int>(sizeof path))
        return 0;
    DIR* dir = opendir(path);
    if (!dir)
        return 0;
    int count = 0;
    while (dirent* entry = readdir(dir)) {
        int number = NodeNumber(entry->d_name);
        int32_t preference = number < 0 || count == maxMatches ? -1 : NodePreference(number, vendorId, productId);
        if (preference < 0)
            continue;
        int at = count++;
        while (at > 0 && matches[at - 1].number > number) {
            matches[at] = matches[at - 1];
            --at;
        }
        matches[at] = Match{number, preference};
    }
    closedir(dir);
    return count;
}

// What OpenHidHandle does with a node it has opened, and what
// TestAdoptHidDescriptor (hidraw_internal.h) does with any descriptor.
int32_t AdoptDescriptor(int fd, const uint8_t* descriptor, size_t length) {
    if (fd < 0)
        return -1;
    for (HandleSlot& slot : slots) {
        int32_t expected = slotFree;
        if (!slot.fd.compare_exchange_strong(expected, slotBusy, std::memory_order_acquire))
            continue;
        ParseOutputReportLengths(descriptor, length, &slot.lengths);
        slot.fd.store(fd, std::memory_order_release);
        return fd;
    }
    return -1;
}

// Reads the node's report descriptor and takes the descriptor as a handle.
// A node that is no hidraw device gets an empty descriptor: it can be read
// but has no output report to write.
int32_t AdoptNode(int fd) {
    int size = 0;
    hidraw_report_descriptor descriptor;
    descriptor.size = 0;
    if (ioctl(fd, HIDIOCGRDESCSIZE, &size) == 0 && size > 0 && size <= HID_MAX_DESCRIPTOR_SIZE) {
        descriptor.size = static_cast<uint32_t>(size);
        if (ioctl(fd, HIDIOCGRDESC, &descriptor) != 0)
            descriptor.size = 0;
    }
    int32_t handle = AdoptDescriptor(fd, descriptor.value, descriptor.size);
    if (handle == -1)
        close(fd);
    return handle;
}

// Opens /dev/hidrawN and adopts it; -1 when it does not open.
int32_t OpenNode(int number) {
    char path[PATH_MAX];
    if (std::snprintf(path, sizeof path, "%s/hidraw%d", devRoot, number) >= static_cast<int>(sizeof path))
        return -1;
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd >= 0) {
        refusedPath[0] = '\0';
        return AdoptNode(fd);
    }
    // The board is there but this user may not use it: say where to look,
    // then carry on as if it were missing.
    if ((errno == EACCES || errno == EPERM) && std::strcmp(path, refusedPath) != 0) {
        std::snprintf(refusedPath, sizeof refusedPath, "%s", path);
        std::fprintf(stderr,
                     "weigh: cannot open %s: permission denied "
                     "(see \"When weigh says the board is missing\" in README.md)\n",
                     path);
    }
    return -1;
}

}  // namespace

#ifdef WEIGH_TEST_HOOKS
void TestSetHidrawRoots(const char* sys, const char* dev) {
    SetRoot(sysRoot, sys, "/sys");
    SetRoot(devRoot, dev, "/dev");
}

int32_t TestAdoptHidDescriptor(int fd, const uint8_t* descriptor, size_t length) {
    return AdoptDescriptor(fd, descriptor, length);
}

uint16_t TestOutputReportLength(int32_t handle, uint8_t reportId) {
    HandleSlot* slot = FindSlot(handle);
    return slot ? slot->lengths.bytes[reportId] : 0;
}
#endif

// The first node that opens, of those named as the board and then of
// those named as neither; a remote's never.
extern "C" int32_t OpenHidHandle(int32_t vendorId, int32_t productId) {
    Match matches[maxMatches];
    int count = FindMatches(static_cast<uint32_t>(vendorId), static_cast<uint32_t>(productId), matches);
    bool onlyRemotes = count > 0;
    for (int32_t preference : {takenFirst, takenIfNoBoard}) {
        for (int i = 0; i < count; ++i) {
            if (matches[i].preference != preference)
                continue;
            onlyRemotes = false;
            int32_t handle = OpenNode(matches[i].number);
            if (handle != -1) {
                DeviceOpened();
                return handle;
            }
        }
    }
    if (onlyRemotes)
        SayOnlyRemoteFound();
    return -1;
}

extern "C" int32_t WriteReport(int32_t handle, unsigned char* report, uint32_t*) {
    HandleSlot* slot = FindSlot(handle);
    if (!slot)
        return -1;
    uint16_t length = slot->lengths.bytes[report[0]];
    if (length == 0 || length == outputReportTooLong)
        return -1;  // the device declares no such output report
    for (;;) {
        ssize_t written = write(handle, report, length);
        if (written == -1 && errno == EINTR)
            continue;
        return written == static_cast<ssize_t>(length) ? static_cast<int32_t>(written) : -1;
    }
}

extern "C" int32_t ReadReport(int32_t handle, unsigned char* report, uint32_t*) {
    if (!FindSlot(handle))
        return -1;
    for (;;) {
        ssize_t length = read(handle, report, reportBufferSize);
        if (length > 0)
            return static_cast<int32_t>(length);
        if (length == -1 && errno == EINTR)
            continue;
        // ENODEV or EIO when the board has gone: at once, as padwire.h
        // says; the caller paces such reads (device/reports.cpp).
        return -1;
    }
}

extern "C" int32_t CloseHidHandle(int32_t handle) {
    HandleSlot* slot = FindSlot(handle);
    if (!slot)
        return -1;
    int32_t expected = handle;
    if (!slot->fd.compare_exchange_strong(expected, slotBusy, std::memory_order_acquire))
        return -1;
    int result = close(handle);
    slot->fd.store(slotFree, std::memory_order_release);
    return result == 0 ? 0 : -1;
}
