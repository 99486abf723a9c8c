// padwire on Windows: the four operations of device/padwire.h over the
// system's HID class driver (SetupAPI to find the device, hid.dll for its
// attributes and report lengths, overlapped ReadFile/WriteFile for reports).
//
// The handle the program holds is a small number naming a slot of a fixed
// table, never the kernel handle itself: a stale or made-up value then
// names no slot, or a slot of ours, and not some unrelated kernel object.
// Every slot has its own buffers, events and OVERLAPPED records in static
// storage, so the read and write paths allocate nothing, and a read left
// pending by a thread that was ended by force completes into memory that
// is still ours.
//
// Every wait here is either for a transfer that the driver took and still
// holds, or bounded. ReadFile and WriteFile mark the OVERLAPPED record
// STATUS_PENDING before they hand the transfer on; one that fails at once
// (as on a board that has gone, padwire.h) leaves the mark, and nothing
// will ever complete the record or set its event: GetOverlappedResult(...,
// TRUE) on it would wait for good. Each slot therefore tracks which of its
// two records a transfer may still hold, and only those are waited for.
#include <windows.h>

#include <setupapi.h>

// Some SDKs' HID headers carry no extern "C" of their own.
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}

#include <atomic>
#include <cstring>

#include "../identity.h"
#include "../padwire.h"

// Enough for every HID board we know of; a device whose reports are longer
// is not one the program can talk to, and opening it fails.
static constexpr DWORD maxReportLength = 1024;
static constexpr int maxOpenDevices = 8;
static constexpr DWORD programBufferLength = reportBufferSize;
// A write that the device has not taken within this long is cancelled and
// tried again as a SET_REPORT, as a write to a board that has gone silent
// would otherwise hold the writing thread for good: the main thread in the
// start-up, the continuous reader when the board has come back.
static constexpr DWORD writeTimeoutMs = 1000;
// How long a cancelled transfer is given to come back from the driver. One
// that has not is left to it: its record and buffer stay reserved.
static constexpr DWORD cancelTimeoutMs = 1000;

struct OpenDevice {
    std::atomic<HANDLE> file;  // nullptr: the slot is closed
    DWORD inputLength;         // InputReportByteLength, report ID included
    DWORD outputLength;        // OutputReportByteLength, report ID included
    OVERLAPPED readOverlap;
    OVERLAPPED writeOverlap;
    // Whether the driver may hold a transfer on the record: set before
    // ReadFile or WriteFile is called, so that a thread ended by force
    // inside the call leaves it set, and cleared once the transfer has
    // failed at once or completed. A closed slot whose transfer the driver
    // still held at the close is taken again only once that transfer has
    // completed.
    std::atomic<bool> readPending;
    std::atomic<bool> writePending;
    unsigned char inBuffer[maxReportLength];
    unsigned char outBuffer[maxReportLength];
};

static OpenDevice devices[maxOpenDevices];

// The slot behind a handle, or nullptr for -1, a value that names no slot,
// or a slot that is not open. Handles are slot numbers from 1, so a global
// handle left at 0 names nothing either.
static OpenDevice* Lookup(int32_t handle) {
    if (handle < 1 || handle > maxOpenDevices)
        return nullptr;
    OpenDevice* device = &devices[handle - 1];
    if (device->file.load(std::memory_order_acquire) == nullptr)
        return nullptr;
    return device;
}

static HANDLE OpenPath(const char* path, DWORD access, DWORD flags) {
    return CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags, nullptr);
}

// How far the device at path is to be preferred (device/identity.h), by its
// product string, when it has this vendor and product ID; -1 when it has
// not. Asking for no access lets us read the attributes of devices that
// the system keeps for itself, keyboards and mice, without disturbing
// them. A product string that cannot be had counts as no name.
static int32_t Preference(const char* path, int32_t vendorId, int32_t productId) {
    HANDLE file = OpenPath(path, 0, 0);
    if (file == INVALID_HANDLE_VALUE)
        return -1;
    HIDD_ATTRIBUTES attributes;
    attributes.Size = sizeof attributes;
    int32_t preference = -1;
    if (HidD_GetAttributes(file, &attributes) && attributes.VendorID == vendorId && attributes.ProductID == productId) {
        // A USB string is at most 126 characters; the last one stays 0.
        wchar_t name[128] = {};
        bool named = HidD_GetProductString(file, name, sizeof name - sizeof name[0]);
        preference = PreferenceByName(named ? name : static_cast<const wchar_t*>(nullptr));
    }
    CloseHandle(file);
    return preference;
}

static bool ReadCaps(HANDLE file, HIDP_CAPS* caps) {
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    if (!HidD_GetPreparsedData(file, &preparsed))
        return false;
    bool read = HidP_GetCaps(preparsed, caps) == HIDP_STATUS_SUCCESS;
    HidD_FreePreparsedData(preparsed);
    return read;
}

static HANDLE NewEvent() {
    return CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

static void ReleaseEvents(OpenDevice* device) {
    if (device->readOverlap.hEvent)
        CloseHandle(device->readOverlap.hEvent);
    if (device->writeOverlap.hEvent)
        CloseHandle(device->writeOverlap.hEvent);
    device->readOverlap.hEvent = nullptr;
    device->writeOverlap.hEvent = nullptr;
}

// Overlapped, so that a write from the main thread goes out while another
// thread waits in a read: on a synchronous handle the two would take turns.
static int32_t OpenSlot(int slot, const char* path) {
    HANDLE file = OpenPath(path, GENERIC_READ | GENERIC_WRITE, FILE_FLAG_OVERLAPPED);
    if (file == INVALID_HANDLE_VALUE)
        return -1;
    HIDP_CAPS caps;
    OpenDevice* device = &devices[slot];
    std::memset(&device->readOverlap, 0, sizeof device->readOverlap);
    std::memset(&device->writeOverlap, 0, sizeof device->writeOverlap);
    device->readOverlap.hEvent = NewEvent();
    device->writeOverlap.hEvent = NewEvent();
    if (!ReadCaps(file, &caps) || caps.InputReportByteLength > maxReportLength ||
        caps.OutputReportByteLength > maxReportLength || !device->readOverlap.hEvent || !device->writeOverlap.hEvent) {
        ReleaseEvents(device);
        CloseHandle(file);
        return -1;
    }
    device->inputLength = caps.InputReportByteLength;
    device->outputLength = caps.OutputReportByteLength;
    device->file.store(file, std::memory_order_release);
    return slot + 1;
}

// Whether no transfer is held on the record any more; clears the mark of
// one that has completed since it was made.
static bool NoTransferHeld(OVERLAPPED* overlap, std::atomic<bool>* pending) {
    if (pending->load(std::memory_order_acquire) && !HasOverlappedIoCompleted(overlap))
        return false;
    pending->store(false, std::memory_order_relaxed);
    return true;
}

static int FreeSlot() {
    for (int slot = 0; slot < maxOpenDevices; ++slot) {
        OpenDevice* device = &devices[slot];
        if (device->file.load(std::memory_order_acquire) == nullptr &&
            NoTransferHeld(&device->readOverlap, &device->readPending) &&
            NoTransferHeld(&device->writeOverlap, &device->writePending))
            return slot;
    }
    return -1;
}

// The interface's device path, in storage of the caller's.
static const char* InterfacePath(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* interfaceData,
                                 SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD size) {
    detail->cbSize = sizeof *detail;
    if (!SetupDiGetDeviceInterfaceDetailA(set, interfaceData, detail, size, nullptr, nullptr))
        return nullptr;
    return detail->DevicePath;
}

// The first interface of the given preference, of those with this vendor
// and product ID, that opens for reading and writing, in the order SetupAPI
// lists them. Other HID devices are always there (keyboards, mice, Wine's
// virtual ones), so the IDs are what decides, and then the name.
// Each preference met is marked in *seen, a bit a preference.
static int32_t OpenFirst(int slot, int32_t vendorId, int32_t productId, int32_t wanted, uint32_t* seen) {
    GUID hidGuid;
    HidD_GetHidGuid(&hidGuid);
    HDEVINFO set = SetupDiGetClassDevsA(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return -1;
    union {
        SP_DEVICE_INTERFACE_DETAIL_DATA_A data;
        char bytes[2048];
    } detail;
    int32_t handle = -1;
    for (DWORD index = 0; handle == -1; ++index) {
        SP_DEVICE_INTERFACE_DATA interfaceData;
        interfaceData.cbSize = sizeof interfaceData;
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &hidGuid, index, &interfaceData))
            break;  // ERROR_NO_MORE_ITEMS: every interface has been seen
        const char* path = InterfacePath(set, &interfaceData, &detail.data, sizeof detail);
        int32_t preference = path ? Preference(path, vendorId, productId) : -1;
        if (preference >= 0)
            *seen |= 1u << preference;
        if (preference == wanted)
            handle = OpenSlot(slot, path);
    }
    SetupDiDestroyDeviceInfoList(set);
    return handle;
}

// The board first, then a device named as neither; a remote never.
extern "C" int32_t OpenHidHandle(int32_t vendorId, int32_t productId) {
    int slot = FreeSlot();
    if (slot < 0)
        return -1;
    uint32_t seen = 0;
    int32_t handle = OpenFirst(slot, vendorId, productId, takenFirst, &seen);
    if (handle == -1)
        handle = OpenFirst(slot, vendorId, productId, takenIfNoBoard, &seen);
    if (handle != -1)
        DeviceOpened();
    else if (seen == 1u << takenNever)
        SayOnlyRemoteFound();
    return handle;
}

static void Rearm(OVERLAPPED* overlap) {
    HANDLE event = overlap->hEvent;
    std::memset(overlap, 0, sizeof *overlap);
    overlap->hEvent = event;
}

// Waits for the transfer that ReadFile or WriteFile (its result in
// started) began on the record; the count of bytes moved, or -1. One that
// failed at once is not waited for. With a limit, one still pending at its
// end is cancelled and given cancelTimeoutMs to come back; if it does not,
// it stays marked pending.
static int32_t Transfer(HANDLE file, OVERLAPPED* overlap, std::atomic<bool>* pending, BOOL started, DWORD limitMs) {
    if (!started && GetLastError() != ERROR_IO_PENDING) {
        pending->store(false, std::memory_order_relaxed);
        return -1;
    }
    if (WaitForSingleObject(overlap->hEvent, limitMs) != WAIT_OBJECT_0) {
        CancelIoEx(file, overlap);
        if (WaitForSingleObject(overlap->hEvent, cancelTimeoutMs) != WAIT_OBJECT_0)
            return -1;
    }
    DWORD count = 0;
    BOOL done = GetOverlappedResult(file, overlap, &count, FALSE);
    pending->store(false, std::memory_order_relaxed);
    return done ? static_cast<int32_t>(count) : -1;
}

// Sends exactly the device's output report length: the program's buffer,
// report ID first, as far as it goes, zeros behind it. Some Bluetooth
// stacks refuse interrupt-channel writes and take only SET_REPORT, so a
// failed write is tried again that way. While the driver still holds an
// earlier write that did not come back from its cancel, the slot's buffer
// is the driver's, and writes fail.
extern "C" int32_t WriteReport(int32_t handle, unsigned char* report, uint32_t* info) {
    OpenDevice* device = Lookup(handle);
    if (!device || device->outputLength == 0 || !NoTransferHeld(&device->writeOverlap, &device->writePending))
        return -1;
    HANDLE file = device->file.load(std::memory_order_relaxed);
    DWORD length = device->outputLength;
    DWORD copied = length < programBufferLength ? length : programBufferLength;
    std::memcpy(device->outBuffer, report, copied);
    std::memset(device->outBuffer + copied, 0, length - copied);
    Rearm(&device->writeOverlap);
    device->writePending.store(true, std::memory_order_relaxed);
    BOOL started = WriteFile(file, device->outBuffer, length, nullptr, &device->writeOverlap);
    int32_t sent = Transfer(file, &device->writeOverlap, &device->writePending, started, writeTimeoutMs);
    if (sent < 0 && !device->writePending.load(std::memory_order_relaxed) &&
        HidD_SetOutputReport(file, device->outBuffer, length))
        sent = static_cast<int32_t>(length);
    if (sent >= 0 && info)
        *info = static_cast<uint32_t>(sent);
    return sent;
}

// Waits without limit for the next input report, which the driver hands
// over whole, report ID in byte 0 (and any report it has queued first).
// The program's buffer gets at most its reportBufferSize bytes and is left
// as it was when the read fails.
extern "C" int32_t ReadReport(int32_t handle, unsigned char* report, uint32_t* info) {
    OpenDevice* device = Lookup(handle);
    if (!device || device->inputLength == 0 || !NoTransferHeld(&device->readOverlap, &device->readPending))
        return -1;
    HANDLE file = device->file.load(std::memory_order_relaxed);
    Rearm(&device->readOverlap);
    device->readPending.store(true, std::memory_order_relaxed);
    BOOL started = ReadFile(file, device->inBuffer, device->inputLength, nullptr, &device->readOverlap);
    int32_t count = Transfer(file, &device->readOverlap, &device->readPending, started, INFINITE);
    if (count < 0)
        return -1;
    DWORD copied = static_cast<DWORD>(count) < programBufferLength ? static_cast<DWORD>(count) : programBufferLength;
    std::memcpy(report, device->inBuffer, copied);
    if (info)
        *info = static_cast<uint32_t>(count);
    return static_cast<int32_t>(copied);
}

// Gives a transfer that the driver may still hold on the record, and that
// the close has cancelled, at most cancelTimeoutMs to come back.
static void AwaitCancelled(OVERLAPPED* overlap, std::atomic<bool>* pending) {
    if (pending->load(std::memory_order_relaxed) &&
        WaitForSingleObject(overlap->hEvent, cancelTimeoutMs) == WAIT_OBJECT_0)
        pending->store(false, std::memory_order_relaxed);
}

// Call it when no other thread is inside a call on the handle. A thread
// ended by force may have left a read pending: that one is cancelled and
// waited for, so that the driver is done with the slot's buffer before the
// slot is given up. A record whose last transfer failed at once is not
// waited for at all.
extern "C" int32_t CloseHidHandle(int32_t handle) {
    OpenDevice* device = Lookup(handle);
    if (!device)
        return -1;
    HANDLE file = device->file.load(std::memory_order_relaxed);
    CancelIoEx(file, nullptr);
    AwaitCancelled(&device->readOverlap, &device->readPending);
    AwaitCancelled(&device->writeOverlap, &device->writePending);
    CloseHandle(file);
    ReleaseEvents(device);
    device->file.store(nullptr, std::memory_order_release);
    return 0;
}
