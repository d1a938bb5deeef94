// Period checks: day, hour and minute changes, each seen by comparing the
// date and time of the pass's clock reading with those seen last, and clock
// steps, seen against the monotonic clock.
#include <cstdio>
#include <cstdlib>

#include "alert/alert.h"
#include "console/console.h"
#include "link/link.h"
#include "logs/logs.h"
#include "supervisor/supervisor.h"

// ctime positions of the digits kept.
constexpr int HOUR_UNITS = 12;
constexpr int MINUTE_UNITS = 15;

// Minutes without a good packet before each further one raises a notice.
constexpr int QUIET_MINUTES_ALLOWED = 2;

// A clock set by time sync, or by hand, says nothing about the instrument,
// but everything stored around it carries the new time: the jump is
// recorded. Time that really passed (a loop that waited) is no step.
void testclockstep() {
    long long wall = mon.tstart_ms;
    long long mono = monotonic_ms();
    if (mon.lastpass_mono_ms >= 0) {
        long long step_ms = (wall - mon.lastpass_wall_ms) - (mono - mon.lastpass_mono_ms);
        // Both clocks in milliseconds: what is left is the step, give or
        // take the moments between the two readings, and is rounded to seconds.
        long step = static_cast<long>((step_ms + (step_ms < 0 ? -500 : 500)) / 1000);
        if (labs(step) > CLOCK_STEP_MIN) append_record(REC_CLOCK_STEPPED, step);
    }
    mon.lastpass_wall_ms = wall;
    mon.lastpass_mono_ms = mono;
}

// A new day rolls the status file over and restarts the message numbers;
// the message log keeps the name it got at start-up.
void testday() {
    if (reading_day_key() == mon.oldday_key) return;
    mkkesnm();
    mon.kesfd = 0;
    mon.today_status = mon.today_message = mon.today_lost = 0;
}

// A new hour re-arms the alert e-mail.
void testhour() {
    if (reading_hour_key() == mon.oldhr_key) return;
    rearm_kesemail();
    mon.hour_failures = 0;
    mon.journal_told = 0;
    mon.oldhr = mon.acqtimline[HOUR_UNITS];
    mon.oldhr_key = reading_hour_key();
}

// A new minute counts the minutes without data and judges the failures of
// the minute just ended.
void testmin() {
    if (reading_minute_key() == mon.oldmin_key) return;
    write_unwritten_records();
    record_unrecorded_framing();
    record_refused_commands();
    // The account of packets being lost is written as it goes, not only at
    // the next packet stored: a power cut must not take it.
    record_lost_packets();
    mon.minnokes++;
    if (mon.minnokes > QUIET_MINUTES_ALLOWED) {
        record_failure(Shown::Record, REC_NO_GOOD_PACKETS, mon.minnokes);
    }
    if (mon.kesfm > 0) say("kesfm=%i kesfd=%i\n", mon.kesfm, mon.kesfd);
    // A failed alert's next try comes before, and holds back, a new one.
    retry_kesemail();
    if (mon.kesfm > 0) kesemail();
    // The minute judged belongs to this hour's count, unless the hour has
    // just changed (minute hh:59 is judged at the first pass of hh+1).
    if (mon.oldmin_key / 100 == reading_hour_key()) mon.hour_failures += mon.kesfm;
    mon.oldmin = mon.acqtimline[MINUTE_UNITS];
    mon.oldmin_key = reading_minute_key();
    mon.kesfm = 0;
    mon.lost_this_minute = false;
    testclocksync();
    write_metrics();
}

// Every packet is stamped with the system clock: whether that clock is
// synchronised is recorded when it is not at start-up, and at each change.
// Nothing is counted: a site without a network never synchronises, and an
// hourly mail about it would be noise.
void testclocksync() {
    mon.clock_sync = clock_sync_now();
    if (mon.clock_sync == ClockSync::Unknown || mon.clock_sync == mon.clock_sync_recorded) return;
    mon.clock_sync_recorded = mon.clock_sync;
    if (mon.clock_sync == ClockSync::Synchronised)
        append_record(REC_CLOCK_SYNCHRONISED);
    else
        append_record(REC_CLOCK_UNSYNCHRONISED);
}
