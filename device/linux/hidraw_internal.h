// What the hidraw backend of padwire exposes beyond device/padwire.h: the
// report descriptor parser, and the test seams that let its tests and tools
// move the roots it looks for devices under and hand it a descriptor it did
// not open.
#ifndef WEIGH_HIDRAW_INTERNAL_H
#define WEIGH_HIDRAW_INTERNAL_H

#include <cstddef>
#include <cstdint>

// Length on the wire, report ID included, of each output report a report
// descriptor declares; 0 where it declares none. Index 0 stands for a
// device without report IDs.
struct OutputReportLengths {
    uint16_t bytes[256];
};

// Output reports longer than the program's buffer (reportBufferSize,
// padwire.h) cannot come from it; the parser marks them with this value
// and writes of them fail.
constexpr uint16_t outputReportTooLong = 0xFFFF;

// Parses the main and global items of a report descriptor into lengths.
// Every read stays within length bytes. Returns 0, or -1 when the
// descriptor ends inside an item or its global state is out of bounds
// (the items before that point still count).
int32_t ParseOutputReportLengths(const uint8_t* descriptor, size_t length, OutputReportLengths* lengths);

#ifdef WEIGH_TEST_HOOKS
// Test seams: for tests and tools only, and only in their builds. The
// program never calls them; without them the backend looks under /sys and
// /dev and holds only the handles OpenHidHandle gave.

// Where OpenHidHandle looks: SYSROOT/class/hidraw/hidrawN/device/uevent
// and DEVROOT/hidrawN. Defaults "/sys" and "/dev"; nullptr restores one.
// Call only while no padwire call is running.
void TestSetHidrawRoots(const char* sysRoot, const char* devRoot);

// Takes an open descriptor as a handle, with the output report lengths of
// the given descriptor, as OpenHidHandle does after it has opened a node.
// -1 when the library's table of open handles is full or fd is negative.
int32_t TestAdoptHidDescriptor(int fd, const uint8_t* descriptor, size_t length);

// The output report length the library holds for this handle and ID
// (0: none, or not a handle of ours).
uint16_t TestOutputReportLength(int32_t handle, uint8_t reportId);
#endif

#endif
