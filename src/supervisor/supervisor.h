// Supervisor: the entry point, start-up, the once-a-second main loop and the
// period checks that roll files, re-arm alerts and notice missing data.
#pragma once

#include "core/core.h"

// Locks kestlog.lock in the working directory against a second logger and
// writes this process's id into it; a process id left there by the run
// before (one that never stopped) is kept in previous_run_pid. The file is
// emptied at every end the logger takes itself. Ends the process
// (EXIT_LOCKED) when another process holds it or it cannot be made.
void lock_working_directory();

// Start-up sequence; ends the process when the data directory, today's
// files or the serial line cannot be set up.
void startup();
// One pass of the main loop: clock, period checks, serial line, keyboard,
// and a stop signal acted on.
void mainpass();

// Period checks, run at the start of every main-loop pass.
void testday();
void testhour();
void testmin();
// Reads the system clock's synchronisation and records a change (and, at
// start-up, a clock that is not synchronised); raises no count.
void testclocksync();
// Records a wall clock that jumped by more than CLOCK_STEP_MIN seconds
// against the monotonic clock since the previous pass.
void testclockstep();
