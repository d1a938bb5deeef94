// A status file as kestreport reads it: packets, torn pieces, NUL runs and
// stamps of any kind, of the day before, the day and the day after. Read
// whole, runs of like packets are counted at once; read a piece at a time,
// never: both must give the same summary.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "formats/formats.h"
#include "report.h"

namespace {

bool same(const DaySummary& a, const DaySummary& b) {
    for (int m = 0; m < MINUTES_A_DAY; m++)
        if (a.minutes[m].status != b.minutes[m].status || a.minutes[m].active != b.minutes[m].active)
            return false;
    return a.has_files == b.has_files && a.message_packets == b.message_packets &&
           a.status_without_minute == b.status_without_minute && a.broken_bytes == b.broken_bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::vector<DaySummary> days = summarise_bytes(20150616, bytes, "", 20150615, 20150617);
    std::vector<std::string_view> pieces = {bytes.substr(0, 0)};  // an empty file is a file
    for (size_t from = 0, eot; from < size; from = eot + 1) {
        eot = bytes.find(static_cast<char>(EOT), from);
        if (eot == std::string_view::npos) eot = size - 1;
        pieces.push_back(bytes.substr(from, eot + 1 - from));
    }
    std::vector<DaySummary> by_piece = summarise_parts(20150616, pieces, 20150615, 20150617);
    for (size_t i = 0; i < days.size(); i++) {
        const DaySummary& d = days[i];
        if (d.status_packets() < 0 || d.broken_bytes < 0 || d.broken_bytes > static_cast<long>(size))
            __builtin_trap();  // every byte is counted once at most
        if (!same(d, by_piece[i])) __builtin_trap();
    }
    return 0;
}
