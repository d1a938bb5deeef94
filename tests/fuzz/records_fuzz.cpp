// A message log as kestreport reads it: records of every kind, with heads,
// dates, times, counts and fields of any kind; also what it lists of them.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "report.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::vector<DaySummary> days = summarise_bytes(20150616, "", bytes, 20150615, 20150617);
    for (const DaySummary& d : days) {
        if (d.packets_not_stored < 0 || d.unreadable_records < 0) __builtin_trap();
        for (const Event& e : d.events) {
            if (e.second < 0 || e.second >= 24 * 3600) __builtin_trap();  // an event on a minute of its day
        }
    }
    return 0;
}
