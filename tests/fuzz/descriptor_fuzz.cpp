// Any bytes as a report descriptor: the parser reads within them, and the
// table it yields holds only lengths a write can use (1..256 bytes, the
// report ID included), "too long", or nothing.
#include <cstdint>
#include <cstring>
#include <vector>

#include "rule.h"
#include "device/linux/hidraw_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Exactly size bytes, so that AddressSanitizer sees a read past the end.
    std::vector<uint8_t> descriptor(data, data + size);
    OutputReportLengths lengths;
    int32_t result = ParseOutputReportLengths(descriptor.data(), descriptor.size(), &lengths);
    Check(result == 0 || result == -1, "result is 0 or -1");
    for (int id = 0; id < 256; ++id) {
        uint16_t bytes = lengths.bytes[id];
        Check(bytes == 0 || bytes == outputReportTooLong || (bytes >= 1 && bytes <= 256), "length in range");
    }
    OutputReportLengths again;
    ParseOutputReportLengths(descriptor.data(), descriptor.size(), &again);
    Check(std::memcmp(&lengths, &again, sizeof lengths) == 0, "the same descriptor gives the same table");
    return 0;
}
