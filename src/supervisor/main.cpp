// Entry point: start-up, then the once-a-second main loop, for ever.
#include "supervisor/supervisor.h"

int main() {
    harden_process();
    console_start();
    lock_working_directory();
    catch_stop_signals();
    curdatetim();
    startup();
    say("\nOK, KESTLOG all initialized! Awaiting data and/or keyboard input (i.e. type 'help')\n");
    for (;;) mainpass();
}
