// Period checks: day, hour and minute changes, each seen by comparing digits
// of a fresh clock reading with the ones seen last.
#include <cstdio>

#include "alert/alert.h"
#include "logs/logs.h"
#include "supervisor/supervisor.h"

// ctime positions of the digits compared.
constexpr int DAY_TENS = 8;
constexpr int DAY_UNITS = 9;
constexpr int HOUR_UNITS = 12;
constexpr int MINUTE_UNITS = 15;

// Minutes without a good packet before each further one raises a notice.
constexpr int QUIET_MINUTES_ALLOWED = 2;

// A new day rolls the status file over and restarts the message numbers;
// the message log keeps the name it got at start-up.
void testday() {
    readclock();
    if (mon.acqtimline[DAY_TENS] == mon.olddayt && mon.acqtimline[DAY_UNITS] == mon.olddayu) return;
    mkkesnm();
    mon.kesfd = 0;
}

// A new hour re-arms the alert e-mail.
void testhour() {
    readclock();
    if (mon.acqtimline[HOUR_UNITS] == mon.oldhr) return;
    mon.kesmailsent = 0;
    mon.oldhr = mon.acqtimline[HOUR_UNITS];
}

// A new minute counts the minutes without data and judges the failures of
// the minute just ended.
void testmin() {
    readclock();
    if (mon.acqtimline[MINUTE_UNITS] == mon.oldmin) return;
    mon.minnokes++;
    if (mon.minnokes > QUIET_MINUTES_ALLOWED) {
        mon.kesfm++;
        mon.kesfd++;
        printf("%i,%s no good kest packets in %i minutes.\n", mon.kesfd, mon.scurdatetim, mon.minnokes);
        append_record("no good kest packets in %i minutes.\n", mon.minnokes);
    }
    if (mon.kesfm > 0) {
        printf("kesfm=%i kesfd=%i\n", mon.kesfm, mon.kesfd);
        kesemail();
    }
    mon.oldmin = mon.acqtimline[MINUTE_UNITS];
    mon.kesfm = 0;
}
