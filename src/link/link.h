// Instrument link: the serial line, packet assembly and framing, and the
// stamping and fault decoding of status packets.
#pragma once

#include "formats/formats.h"

// Opens SERIAL_PORT, locks it against a second logger and makes it a raw,
// non-blocking, receive-only line. On failure prints the reason on standard
// error and ends the process (255); with wait_for_line, a device that is not
// there (yet) is instead lost as a line lost while running, and tried again.
void init_serial_port();

// After setting up the line at fd failed with err: whether it is a
// pseudo-terminal (a simulator, a network serial bridge), which has no
// character size or parity to set, and was set up with the rest. Any other
// device that refuses a setting would garble every byte: false.
bool take_pty_as_it_is(int fd, int err);

// Run once a pass after the line has been read dry. A line that failed, hung
// up, or whose device node is gone or replaced is closed, reported and
// recorded; a lost line is tried again every REOPEN_INTERVAL seconds.
void check_serial_line();

// Assembles at most one packet from the line; a complete one is judged,
// processed and shown, and a good one held to be stored. The good packets
// of one read of the line are stored together, before the next read and
// whenever store_packets is called. Returns 1 when it stopped for lack of
// bytes (nchar2 <= 0), 0 when it finished a packet, good or bad.
int checkkest();
// At the change of minute: the framing failures of the minute ended that were
// only counted (those past the first FRAMING_RECORDS_MAX), recorded as one
// ("N more framing failures in the minute to hh:mm ...", kesfd raised).
void record_unrecorded_framing();
// Stores the good packets held (see checkkest); a packet that cannot be
// stored is lost, and counted so.
void store_packets();
// After each read that took bytes from the line, the timestamp text is
// refreshed (the moment those packets' EOTs were taken) and hook called,
// before the bytes are assembled.
void on_serial_input(void (*hook)());

// Stamps the logger's time into the status packet in skest and decodes its
// fault word, recording any fault. Short packets are left as they are.
void checkstatus();
