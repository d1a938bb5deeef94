// Period checks: day, hour and minute changes.
#include "supervisor/supervisor.h"

// Will roll the status file over and restart message numbers at midnight.
void testday() {}

// Will re-arm the alert e-mail at every change of hour.
void testhour() {}

// Will count minutes without data and hand a minute's failures to the alert.
void testmin() {}
