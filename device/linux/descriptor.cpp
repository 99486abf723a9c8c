// The part of a HID report descriptor that writing needs: how long each
// output report is. Only main Output items and the global items Report
// Size, Report ID, Report Count, Push and Pop matter here; everything else
// is stepped over by its declared size.
#include "hidraw_internal.h"

#include "../padwire.h"

#include <cstring>

namespace {

struct Globals {
    uint32_t reportSize;   // bits per field
    uint32_t reportCount;  // fields per item
    uint32_t reportId;     // 0 until the descriptor names one
};

constexpr int globalStackDepth = 4;                             // as deep as the kernel's HID parser allows
constexpr uint64_t bitsLimit = uint64_t{8} * reportBufferSize;  // past this a report cannot be sent anyway

// Short item data is little-endian, 0, 1, 2 or 4 bytes long.
uint32_t ItemData(const uint8_t* data, size_t size) {
    uint32_t value = 0;
    for (size_t i = size; i > 0; --i)
        value = (value << 8) | data[i - 1];
    return value;
}

}  // namespace

int32_t ParseOutputReportLengths(const uint8_t* descriptor, size_t length, OutputReportLengths* lengths) {
    // Bits per report ID, saturated at bitsLimit + 1 so that no count of
    // items can overflow them.
    uint32_t bits[256];
    bool declared[256];
    std::memset(bits, 0, sizeof bits);
    std::memset(declared, 0, sizeof declared);
    std::memset(lengths, 0, sizeof *lengths);
    Globals globals = {0, 0, 0};
    Globals stack[globalStackDepth];
    int depth = 0;
    int32_t result = 0;
    size_t at = 0;
    while (at < length) {
        uint8_t prefix = descriptor[at];
        if (prefix == 0xFE) {
            // A long item: size and tag follow, then its data.
            if (length - at < 3 || length - at - 3 < descriptor[at + 1]) {
                result = -1;
                break;
            }
            at += 3 + static_cast<size_t>(descriptor[at + 1]);
            continue;
        }
        size_t size = prefix & 0x03;
        if (size == 3)
            size = 4;
        if (length - at - 1 < size) {
            result = -1;
            break;
        }
        uint32_t data = ItemData(descriptor + at + 1, size);
        at += 1 + size;
        uint8_t type = (prefix >> 2) & 0x03;
        uint8_t tag = prefix >> 4;
        if (type == 0 && tag == 0x9) {  // Output
            uint64_t added = static_cast<uint64_t>(globals.reportSize) * globals.reportCount;
            uint64_t total = bits[globals.reportId] + (added > bitsLimit ? bitsLimit + 1 : added);
            bits[globals.reportId] = static_cast<uint32_t>(total > bitsLimit ? bitsLimit + 1 : total);
            declared[globals.reportId] = true;
        } else if (type == 1) {
            if (tag == 0x7) {
                globals.reportSize = data;
            } else if (tag == 0x8) {
                if (data == 0 || data > 0xFF) {  // not a report ID
                    result = -1;
                    break;
                }
                globals.reportId = data;
            } else if (tag == 0x9) {
                globals.reportCount = data;
            } else if (tag == 0xA) {
                if (depth == globalStackDepth) {
                    result = -1;
                    break;
                }
                stack[depth++] = globals;
            } else if (tag == 0xB) {
                if (depth == 0) {
                    result = -1;
                    break;
                }
                globals = stack[--depth];
            }
        }
    }
    for (int id = 0; id < 256; ++id) {
        if (!declared[id])
            continue;
        // hidraw takes the report ID first, 0 for a device without IDs.
        uint32_t bytes = 1 + (bits[id] + 7) / 8;
        lengths->bytes[id] = bytes > reportBufferSize ? outputReportTooLong : static_cast<uint16_t>(bytes);
    }
    return result;
}
