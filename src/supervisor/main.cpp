// Entry point: start-up, then the once-a-second main loop, for ever.
#include <cstdio>

#include "supervisor/supervisor.h"

int main() {
    harden_process();
    curdatetim();
    startup();
    printf("\nOK, KESTLOG all initialized! Awaiting data and/or keyboard input (i.e. type 'help')\n");
    for (;;) mainpass();
}
