// Packet assembly and framing.
#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/core.h"
#include "link/link.h"
#include "logs/logs.h"

// Bytes print as signed characters widened to int, so 0x80-0xFF show as
// FFFFFF80-FFFFFFFF, as the stored message logs always have.
static int widened(unsigned char c) { return static_cast<signed char>(c); }

static void (*input_hook)() = nullptr;

void on_serial_input(void (*hook)()) { input_hook = hook; }

// Reads up to room more bytes from the line onto the end of rxbuf. Returns
// what read() returned.
static ssize_t read_more(size_t room) {
    size_t held = mon.rxbuf.size();
    mon.rxbuf.resize(held + room);
    ssize_t n = read(mon.fhR2, mon.rxbuf.data() + held, room);
    mon.rxbuf.resize(held + static_cast<size_t>(n > 0 ? n : 0));
    return n;
}

// Takes the next byte from what was already read from the line, reading a
// new chunk when that is used up (the packets of the last one are stored
// first). Returns 1 with *c set, 0 when the line holds nothing, or -1 when
// the read failed.
static int next_byte(unsigned char* c) {
    if (mon.rxpos >= mon.rxbuf.size()) {
        store_packets();
        mon.rxbuf.clear();
        mon.rxpos = 0;
        if (mon.fhR2 < 0 || mon.read_errno != 0) return 0;  // lost, or given up at the end of this pass
        ssize_t n = read_more(RX_CHUNK);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
            mon.read_errno = errno;
            report("read failed: %s\n", strerror(errno));
            return -1;
        }
        if (n == 0) return 0;
        mon.rx_total += static_cast<unsigned long long>(n);
        // The packets these bytes end carry the moment they were taken.
        curdatetim();
        if (input_hook) input_hook();
    }
    *c = mon.rxbuf[mon.rxpos++];
    return 1;
}

// Moves the run of ordinary bytes that follows, in what was already read,
// into the open packet at once, so that the byte loop meets only the bytes
// that matter. The packet's last free place is left to that loop, which
// judges a packet that fills it.
static void take_run() {
    const unsigned char* p = mon.rxbuf.data() + mon.rxpos;
    size_t n = std::min(mon.rxbuf.size() - mon.rxpos, static_cast<size_t>(PACKET_MAX - 1 - mon.pchar2));
    size_t i = 0;
    while (i < n && p[i] != SOH && p[i] != STX && p[i] != EOT) i++;
    memcpy(mon.skest + mon.pchar2, p, i);
    mon.pchar2 += static_cast<int>(i);
    mon.rxpos += i;
}

static void show_raw(unsigned char c) {
    const char* name = c == SOH ? " SOH" : c == STX ? " STX" : c == EOT ? " EOT" : "";
    say("kesrawd pchar2=%i char2 %2.2X <%c>%s\n", mon.pchar2, widened(c), c, name);
}

// A frame that does not run from a start byte to an EOT: reported, dropped.
// With no packet open the first byte shows as 00 and the last as the EOT.
static void reject_frame(unsigned char last_read) {
    unsigned char first = mon.pchar2 > 0 ? static_cast<unsigned char>(mon.skest[0]) : 0;
    unsigned char last = mon.pchar2 > 0 ? static_cast<unsigned char>(mon.skest[mon.pchar2 - 1]) : last_read;
    mon.framing_failures++;
    // A babbling line must not fill the disk: past the first few of a
    // minute, failures are counted, and recorded together at its end.
    if (++mon.framing_this_minute <= FRAMING_RECORDS_MAX)
        record_failure(Shown::Unstamped, REC_FRAMING, widened(first), widened(last));
    else
        mon.kesfm++;
}

void record_unrecorded_framing() {
    int more = mon.framing_this_minute - FRAMING_RECORDS_MAX;
    mon.framing_this_minute = 0;
    if (more <= 0) return;
    constexpr int HHMM_POS = 11, HHMM_LEN = 5;  // in DD/MM/YYYY,hh:mm:ss,
    mon.kesfd++;
    say("%i,", mon.kesfd);
    say(REC_FRAMING_UNRECORDED, more, HHMM_LEN, mon.scurdatetim + HHMM_POS);
    append_record(REC_FRAMING_UNRECORDED, more, HHMM_LEN, mon.scurdatetim + HHMM_POS);
}

// A good packet: stamped and decoded if a status packet, shown, and held to
// be stored whole, zero bytes included, with the others taken with it. The
// instrument sent it, so the quiet count restarts.
static void accept_frame() {
    mon.minnokes = 0;
    if (static_cast<unsigned char>(mon.skest[0]) == SOH) checkstatus();
    if (mon.kesd == 1) console_write(STDOUT_FILENO, mon.skest, static_cast<size_t>(mon.pchar2));
    mon.held_packets.append(mon.skest, static_cast<size_t>(mon.pchar2));
    mon.held_sizes.push_back(static_cast<unsigned>(mon.pchar2));
}

// Only a packet that was stored counts as stored.
static void count_stored(unsigned char start) {
    memcpy(mon.last_good_stamp, mon.scurdatetim, sizeof mon.last_good_stamp);
    mon.last_good_time = mon.tstart;
    bool status = start == SOH;
    (status ? mon.packets_status : mon.packets_message)++;
    (status ? mon.today_status : mon.today_message)++;
}

void store_packets() {
    size_t count = mon.held_sizes.size();
    if (count == 0) return;
    bool all = append_packets(mon.held_packets.data(), mon.held_sizes.data(), count, &mon.held_stored);
    size_t at = 0;
    for (size_t i = 0; i < count; i++) {
        if (all || mon.held_stored[i]) count_stored(static_cast<unsigned char>(mon.held_packets[at]));
        at += mon.held_sizes[i];
    }
    mon.held_packets.clear();
    mon.held_sizes.clear();
}

static bool frame_is_good() {
    if (mon.pchar2 < 2) return false;
    unsigned char first = static_cast<unsigned char>(mon.skest[0]);
    unsigned char last = static_cast<unsigned char>(mon.skest[mon.pchar2 - 1]);
    return (first == SOH || first == STX) && last == EOT;
}

static void open_packet(unsigned char start) {
    mon.skest[0] = static_cast<char>(start);
    mon.pchar2 = 1;
}

int checkkest() {
    unsigned char c = 0;
    do {
        if (mon.pchar2 > 0 && mon.kesrawd != 1 && mon.rxpos < mon.rxbuf.size()) take_run();
        mon.nchar2 = next_byte(&c);
        if (mon.nchar2 <= 0) return 1;  // an open packet waits for more bytes
        if (mon.kesrawd == 1) show_raw(c);
        if (c == SOH || c == STX) {
            if (mon.pchar2 > 0) {
                // The instrument's packets are text: a start byte always
                // begins a new packet, and the open one lost its EOT.
                mon.skest[mon.pchar2] = '\0';
                reject_frame(c);
                open_packet(c);
                return 0;
            }
            open_packet(c);
        } else if (mon.pchar2 > 0) {
            mon.skest[mon.pchar2++] = static_cast<char>(c);
        }
    } while (c != EOT && mon.pchar2 < PACKET_MAX);

    mon.skest[mon.pchar2] = '\0';
    if (frame_is_good())
        accept_frame();
    else
        reject_frame(c);
    mon.pchar2 = 0;
    return 0;
}
