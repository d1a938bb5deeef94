// Status packets: the logger's time stamp and the fault word.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/core.h"
#include "link/link.h"
#include "logs/logs.h"

// Writes the logger's date and time, YYMMDD hh:mm, over positions 7-18.
static void stamp_packet() { stamp_from_timestamp(mon.scurdatetim, mon.skest + STAMP_POS); }

// Reads the fault word at positions 86-89 and records it unless it is 0000.
static void check_fault_word() {
    memcpy(mon.kesfaultcode, mon.skest + FAULT_POS, FAULT_LEN);
    mon.kesfaultcode[FAULT_LEN] = '\0';
    mon.kesfaultnum = 0;
    if (memcmp(mon.skest + FAULT_POS, "0000", FAULT_LEN) == 0) return;

    // Read like the instrument's own tools read it: hexadecimal, optional
    // sign and 0x; a minus sign wraps, so every bit tests as set.
    mon.kesfaultnum = static_cast<unsigned>(strtoul(mon.kesfaultcode, nullptr, 16));
    mon.kesfd++;
    mon.kesfm += decode_fault(mon.kesfaultnum, mon.kesfault, sizeof mon.kesfault);
    mon.fault_records++;
    for (int bit = 0; bit < 16; bit++) {
        if (mon.kesfaultnum & (1u << bit)) mon.fault_bits[bit]++;
    }
    // The word is four ASCII digits: anything else from the line (a newline
    // that would split the record, an ESC or a C1 byte that would drive a
    // terminal, half of a character) shows as '?'.
    char shown[FAULT_LEN + 1];
    for (int i = 0; i < FAULT_LEN; i++) {
        unsigned char c = static_cast<unsigned char>(mon.skest[FAULT_POS + i]);
        shown[i] = (c < 0x20 || c >= 0x7F) ? '?' : static_cast<char>(c);
    }
    shown[FAULT_LEN] = '\0';
    char head[RECORD_MAX];
    record_head(head, sizeof head, mon.kesfd, mon.scurdatetim);
    say("\n%s", head);
    say(REC_FAULT, shown, mon.kesfault);
    append_record(REC_FAULT, shown, mon.kesfault);
    char text[RECORD_MAX];
    snprintf(text, sizeof text, REC_FAULT, shown, mon.kesfault);
    note_alert_cause(std::string(head) + text);
}

void checkstatus() {
    // Short packets keep their bytes: nothing is read or written past the EOT.
    if (mon.pchar2 >= STAMP_MIN_PACKET) stamp_packet();
    if (mon.pchar2 >= FAULT_MIN_PACKET) check_fault_word();
}
