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
// The main loop, for ever: one wait on everything the logger waits on (the
// serial line, the keyboard, the control socket and its clients, the alert's
// command, stop signals, the next second). Packets are stored as their EOT
// arrives; once a second comes the pass.
[[noreturn]] void mainloop(int signals);
// The once-a-second pass: clock, a stop signal acted on, period checks, the
// serial line checked, files flushed to the disk, the service manager told.
void mainpass();
// A stop signal ends the logger in good order: recorded (once the message
// log has a name), the console put back, held output written, and then
// ended by the same signal so that a service manager sees why.
void stop_if_signalled();

// Period checks, run at the start of every main-loop pass, each judging the
// pass's one clock reading (curdatetim).
void testday();
void testhour();
void testmin();
// Reads the system clock's synchronisation and records a change (and, at
// start-up, a clock that is not synchronised); raises no count.
void testclocksync();
// Records a wall clock that jumped by more than CLOCK_STEP_MIN seconds
// against the monotonic clock since the previous pass.
void testclockstep();

// Warns (standard error) when the working directory or ./data/ is writable
// by the logger's group or by others, who could then replace its files.
void warn_of_open_directories();
