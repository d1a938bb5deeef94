// Status packets: the logger's time stamp and the fault word.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/core.h"
#include "link/link.h"
#include "logs/logs.h"

struct FaultBit {
    unsigned bit;
    const char* text;
    bool severe;  // counts as a failure of the minute
};

static const FaultBit fault_bits[] = {
    {0x8000, ",min noise limit", false},
    {0x4000, ",max noise limit", false},
    {0x2000, ",transient noise", false},
    {0x1000, ",constant noise", true},
    {0x0800, ",false alarm", false},
    {0x0400, ",Gunn current low", false},
    {0x0200, ",not used", false},
    {0x0100, ",air temp ", false},
    {0x0080, ",heater voltage", false},
    {0x0040, ",Gunn voltage", false},
    {0x0020, ",-12V", true},
    {0x0010, ",+12V", true},
    {0x0008, ",+5V", true},
    {0x0004, ",heater current", false},
    {0x0002, ",not used", false},
    {0x0001, ",DC offset", false},
};

int decode_fault(unsigned faultnum, char* out, int outsize) {
    int severe = 0;
    int used = 0;
    out[0] = '\0';
    for (const FaultBit& f : fault_bits) {
        if (!(faultnum & f.bit)) continue;
        if (f.severe) severe++;
        int n = snprintf(out + used, static_cast<size_t>(outsize - used), "%s", f.text);
        if (n > 0) used = (used + n < outsize) ? used + n : outsize - 1;
    }
    return severe;
}

// Writes the logger's date and time, YYMMDD hh:mm, over positions 7-18.
static void stamp_packet() {
    const char* ts = mon.scurdatetim;  // DD/MM/YYYY,hh:mm:ss,
    char* p = mon.skest + STAMP_POS;
    const char stamp[12] = {ts[8], ts[9],  ts[3],  ts[4], ts[0],  ts[1],
                            ' ',   ts[11], ts[12], ':',   ts[14], ts[15]};
    memcpy(p, stamp, sizeof stamp);
}

// Reads the fault word at positions 86-89 and records it unless it is 0000.
static void check_fault_word() {
    memcpy(mon.kesfaultcode, mon.skest + FAULT_POS, 4);
    mon.kesfaultcode[4] = '\0';
    mon.kesfaultnum = 0;
    if (memcmp(mon.skest + FAULT_POS, "0000", 4) == 0) return;

    // Read like the instrument's own tools read it: hexadecimal, optional
    // sign and 0x; a minus sign wraps, so every bit tests as set.
    mon.kesfaultnum = static_cast<unsigned>(strtoul(mon.kesfaultcode, nullptr, 16));
    mon.kesfd++;
    mon.kesfm += decode_fault(mon.kesfaultnum, mon.kesfault, sizeof mon.kesfault);
    mon.fault_records++;
    for (int bit = 0; bit < 16; bit++) {
        if (mon.kesfaultnum & (1u << bit)) mon.fault_bits[bit]++;
    }
    // A control character from the line (a newline, say) would split the
    // record: each shows as '?'.
    char shown[5];
    for (int i = 0; i < 4; i++) {
        unsigned char c = static_cast<unsigned char>(mon.skest[FAULT_POS + i]);
        shown[i] = (c < 0x20 || c == 0x7F) ? '?' : static_cast<char>(c);
    }
    shown[4] = '\0';
    say("\n%i,%s kest fault code=%s %s\n", mon.kesfd, mon.scurdatetim, shown, mon.kesfault);
    append_record("kest fault code=%s %s\n", shown, mon.kesfault);
}

void checkstatus() {
    // Short packets keep their bytes: nothing is read or written past the EOT.
    if (mon.pchar2 >= STAMP_MIN_PACKET) stamp_packet();
    if (mon.pchar2 >= FAULT_MIN_PACKET) check_fault_word();
}
