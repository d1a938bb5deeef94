// Clock readings and the timestamp text stamped into records and packets.
#include <sys/timex.h>

#include <cstdio>
#include <cstring>

#include "core/core.h"

// The clock a test's libfaketime runs fast, like the time-outs it scales.
static long long system_clock_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

static ClockSource current_clock = system_clock_ms;

long long wall_ms() { return current_clock(); }

void set_clock_source(ClockSource source) { current_clock = source ? source : system_clock_ms; }

// adjtimex without modes only reads: TIME_ERROR or STA_UNSYNC says the
// kernel does not hold the clock synchronised. Some sandboxes refuse the call.
static ClockSync kernel_clock_sync() {
    struct timex tx = {};
    int state = adjtimex(&tx);
    if (state < 0) return ClockSync::Unknown;
    return state == TIME_ERROR || (tx.status & STA_UNSYNC) ? ClockSync::Unsynchronised
                                                           : ClockSync::Synchronised;
}

static ClockSyncSource current_sync = kernel_clock_sync;

ClockSync clock_sync_now() { return current_sync(); }

void set_clock_sync_source(ClockSyncSource source) { current_sync = source ? source : kernel_clock_sync; }

// The boot-time clock: monotonic, and it goes on while the computer is
// suspended, so that a resume is time that passed, not a clock step.
long long monotonic_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// localtime_r alone keeps the zone it first read: tzset first, as localtime
// does, so that a zone changed on the host takes effect at once.
void local_time(time_t t, struct tm* out) {
    tzset();
    localtime_r(&t, out);
}

static const char* const weekday_names[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
static const char* const month_names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

static void format_tm(const struct tm* tm, char out[CTIME_LEN]) {
    const char* wday = (tm->tm_wday >= 0 && tm->tm_wday < 7) ? weekday_names[tm->tm_wday] : "???";
    const char* mname = (tm->tm_mon >= 0 && tm->tm_mon < 12) ? month_names[tm->tm_mon] : "???";
    snprintf(out, CTIME_LEN, "%.3s %.3s%3d %.2d:%.2d:%.2d %d\n", wday, mname, tm->tm_mday, tm->tm_hour,
             tm->tm_min, tm->tm_sec, tm->tm_year + 1900);
}

void format_ctime(time_t t, char out[CTIME_LEN]) {
    struct tm tm;
    local_time(t, &tm);
    format_tm(&tm, out);
}

void readclock() {
    mon.longtime = mon.tstart;
    local_time(mon.longtime, &mon.newtime);
    mon.month = static_cast<unsigned char>(mon.newtime.tm_mon + 1);
    format_tm(&mon.newtime, mon.acqtimline);
    if (mon.acqtimline[8] == ' ') mon.acqtimline[8] = '0';
}

long long reading_day_key() {
    const struct tm& t = mon.newtime;
    return (t.tm_year + 1900LL) * 10000 + (t.tm_mon + 1) * 100 + t.tm_mday;
}

long long reading_hour_key() { return reading_day_key() * 100 + mon.newtime.tm_hour; }

long long reading_minute_key() { return reading_hour_key() * 100 + mon.newtime.tm_min; }

void curdatetim() {
    mon.tstart_ms = wall_ms();
    // Whole seconds, rounded down also before 1970.
    mon.tstart = static_cast<time_t>(mon.tstart_ms / 1000 - (mon.tstart_ms % 1000 < 0 ? 1 : 0));
    readclock();
    char ct[CTIME_LEN];
    format_tm(&mon.newtime, ct);  // the ctime text again, with the blank day tens the reading replaced
    // DD/MM/YYYY,hh:mm:ss, taken by position from the ctime text; the day
    // keeps ctime's leading blank here, only file names get a '0'.
    const char text[STAMP_LEN] = {ct[8],
                                  ct[9],
                                  '/',
                                  static_cast<char>('0' + mon.month / 10 % 10),
                                  static_cast<char>('0' + mon.month % 10),
                                  '/',
                                  ct[20],
                                  ct[21],
                                  ct[22],
                                  ct[23],
                                  ',',
                                  ct[11],
                                  ct[12],
                                  ':',
                                  ct[14],
                                  ct[15],
                                  ':',
                                  ct[17],
                                  ct[18],
                                  ','};
    memcpy(mon.scurdatetim, text, STAMP_LEN);
    mon.scurdatetim[STAMP_LEN] = '\0';
}
