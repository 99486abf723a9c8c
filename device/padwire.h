// padwire: the HID access library that weigh talks to the board through.
//
// One header, one implementation per platform (device/linux/, device/windows/)
// and the simulated board (sim/). Any of them links with weigh_program.
//
// The program passes a buffer of reportBufferSize bytes (below) with the
// report ID in byte 0, ignores every result but the handle from
// OpenHidHandle and whether ReadReport handed over a report (it pauses
// after a read that did not), and relies on each call on handle -1 failing
// at once without touching the buffer.
#ifndef WEIGH_PADWIRE_H
#define WEIGH_PADWIRE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// The length of every report buffer the program passes.
enum { reportBufferSize = 256 };

// Opens the first HID device with this vendor and product ID; -1 if none.
int32_t OpenHidHandle(int32_t vendorId, int32_t productId);
// Sends report[0] and the bytes of that output report to the device.
int32_t WriteReport(int32_t handle, unsigned char* report, uint32_t* info);
// Blocks until one input report arrives and places it at report[0..];
// returns its length, or 0 or less when no report came. A board that has
// gone (unplugged, switched off, out of range) fails every read and write
// on its handle at once; the board that comes back is a new device, to be
// opened anew.
int32_t ReadReport(int32_t handle, unsigned char* report, uint32_t* info);
// Releases the handle, also one whose device has gone; returns within a
// second whatever the device does.
int32_t CloseHidHandle(int32_t handle);

#ifdef __cplusplus
}
#endif

#endif
