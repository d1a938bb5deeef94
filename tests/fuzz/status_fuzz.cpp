// A status file as kestreport reads it: packets, torn pieces, NUL runs and
// stamps of any kind, of the day before, the day and the day after.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "report.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::vector<DaySummary> days = summarise_bytes(20150616, bytes, "", 20150615, 20150617);
    for (const DaySummary& d : days) {
        if (d.status_packets() < 0 || d.broken_bytes < 0 || d.broken_bytes > static_cast<long>(size))
            __builtin_trap();  // every byte is counted once at most
    }
    return 0;
}
