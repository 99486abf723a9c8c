// Any bytes as a report descriptor: the parser reads within them, and the
// table it yields holds only lengths a write can use (1..256 bytes, the
// report ID included), "too long", or nothing.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "device/linux/hidraw_internal.h"

namespace {

void Check(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "descriptor parser broke its rule: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A copy of exactly size bytes, so that AddressSanitizer sees any read
    // past the descriptor's end.
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
