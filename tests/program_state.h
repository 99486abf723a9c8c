// The program's globals, set by hand: back to their state at the start of
// a process, or to a board state and a zero point as the readers and the
// display pass would leave them. For the tests and the benchmarks, which
// drive the program's parts without its start-up.
#pragma once

#include <cstdint>
#include <cstring>

#include "acquisition/acquisition.h"
#include "console/console.h"
#include "device/reports.h"
#include "platform/platform.h"

namespace test {

// What the board last reported: the button bytes, the four raw loads and
// the accelerometer byte.
inline void SetBoardState(int buttons1, int buttons2, int32_t rf, int32_t rb, int32_t lf, int32_t lb, int accelX = 0) {
    DeviceState.buttons1 = static_cast<uint8_t>(buttons1);
    DeviceState.buttons2 = static_cast<uint8_t>(buttons2);
    DeviceState.accelX = static_cast<uint8_t>(accelX);
    DeviceState.rawRf = rf;
    DeviceState.rawRb = rb;
    DeviceState.rawLf = lf;
    DeviceState.rawLb = lb;
}

inline void SetZeroPoint(int32_t rf, int32_t rb, int32_t lf, int32_t lb) {
    tareRf = rf;
    tareRb = rb;
    tareLf = lf;
    tareLb = lb;
}

// The loads the last display pass formed, and their sum.
inline void SetShownLoads(int32_t rf, int32_t rb, int32_t lf, int32_t lb) {
    Mrf = rf;
    Mrb = rb;
    Mlf = lf;
    Mlb = lb;
    Msum = rf + rb + lf + lb;
}

// The handle the readers and the output reports use, as the start-up or
// the continuous reader sets it (-1: no board).
inline void SetDeviceHandle(int32_t handle) {
    deviceHandle = handle;
}

// Every global of the program as a new process has it, the test seams of
// weigh_core unset among them (the hidraw backend's, which not every
// target that includes this links, are its tests' own). No thread of the
// program may be running.
inline void ResetProgram() {
    SetDeviceHandle(0);
    std::memset(outReport, 0, sizeof outReport);
    std::memset(inReport, 0, sizeof inReport);
    writeInfo = readInfo = 0;
    SetBoardState(0, 0, 0, 0, 0, 0);
    runFlag = 0;
    probeActive = 0;
    probeThread = 0;
    SetZeroPoint(0, 0, 0, 0);
    SetShownLoads(0, 0, 0, 0);
    remoteOnlySaid = false;
    testMessageHook = nullptr;
    testPlainSleep = false;
    testProbeStartHook = nullptr;
}

}  // namespace test
