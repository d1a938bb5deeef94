// Start-up sequence and one pass of the main loop.
#include <unistd.h>

#include <cstdio>

#include "alert/alert.h"
#include "console/console.h"
#include "link/link.h"
#include "logs/logs.h"
#include "settings/settings.h"
#include "supervisor/supervisor.h"

// The start time as shown at start-up: day tens never blank, and the minute
// lowered to an even one (a start at 10:37 shows 10:36).
static void print_start_time() {
    format_ctime(mon.tstart, mon.stimline);
    if (mon.stimline[8] == ' ') mon.stimline[8] = '0';
    char& minute_units = mon.stimline[15];
    if (minute_units >= '0' && minute_units <= '9' && (minute_units - '0') % 2 == 1) minute_units--;
    printf("Startup time = %.19s %s\n", mon.stimline, mon.stimline + 20);
}

void startup() {
    run_shell("setterm -blank 0");  // console blanking off; harmless where it fails
    printf("Program-Version: %s\n", VERSION_TEXT);
    print_start_time();
    init_keyboard();
    printf("Keyboard initialization successful.\n");
    readclock();
    mon.oldmin = mon.acqtimline[15];
    make_data_dir();
    mkmesnm();
    mkkesnm();
    append_record("starting %s\n", VERSION_TEXT);
    readparfile();
    init_serial_port();
}

void mainpass() {
    curdatetim();
    testday();
    testhour();
    testmin();
    do {
        checkkest();
    } while (mon.nchar2 > 0);
    check_serial_line();
    checkkybd();
    // Packets end in EOT, not a newline: flush once a pass so the console
    // (or a pipe to a journal) shows them without waiting for a later line.
    fflush(stdout);
    sleep(1);
}
