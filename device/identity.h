// The board among the devices of its family: the IDs it is opened by, and
// the names that tell it from the family's remote, which has the same IDs
// and connects whenever one of its buttons is pressed. Each HID backend,
// and the simulated board, chooses among the devices with these IDs by the
// rules here, so this header stands alone.
#ifndef WEIGH_IDENTITY_H
#define WEIGH_IDENTITY_H

#include <cstdint>
#include <cstdio>

constexpr int32_t boardVendorId = 0x057E;
constexpr int32_t boardProductId = 0x0306;

// The names each gives itself over Bluetooth. A device behind an adapter,
// or on a system that passes on no name, has none.
constexpr char boardName[] = "Nintendo RVL-WBC-01";
constexpr char remoteName[] = "Nintendo RVL-CNT-01";

// Whom OpenHidHandle takes among the devices with the IDs asked for: one
// named as the board first; else the first named as neither, or not named
// at all, as it comes; one named as the remote never.
constexpr int32_t takenNever = 0;
constexpr int32_t takenIfNoBoard = 1;
constexpr int32_t takenFirst = 2;

// name is a NUL-terminated string of char or wchar_t, compared exactly,
// code unit by code unit.
template <typename Char>
bool SameName(const Char* name, const char* known) {
    int i = 0;
    for (; known[i] != '\0'; ++i)
        if (name[i] != static_cast<Char>(known[i]))
            return false;
    return name[i] == static_cast<Char>(0);
}

// nullptr: a device that gave no name.
template <typename Char>
int32_t PreferenceByName(const Char* name) {
    if (name == nullptr)
        return takenIfNoBoard;
    if (SameName(name, boardName))
        return takenFirst;
    if (SameName(name, remoteName))
        return takenNever;
    return takenIfNoBoard;
}

// A backend that found only remotes says so once, and again only after it
// has opened a device since; opens come from one thread at a time. The
// line is flushed: on Windows standard error is buffered when it is not a
// console, and weigh is always ended from outside.
inline bool remoteOnlySaid;

inline void SayOnlyRemoteFound() {
    if (remoteOnlySaid)
        return;
    remoteOnlySaid = true;
    std::fputs("weigh: found a remote, not the board; switch the board on\n", stderr);
    std::fflush(stderr);
}

inline void DeviceOpened() {
    remoteOnlySaid = false;
}

#endif
