// Opening and configuring the serial line.
#include <errno.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/link.h"
#include "supervisor/supervisor.h"

void init_serial_port() {
    mon.fhR2 = open(mon.SERIAL_PORT, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (mon.fhR2 < 0) {
        report("%s: %s\n", mon.SERIAL_PORT, strerror(errno));
        exit(EXIT_SERIAL_FAILURE);
    }
    mon.newtio = termios{};
    cfsetispeed(&mon.newtio, mon.SERIAL_BAUDRATE);
    cfsetospeed(&mon.newtio, mon.SERIAL_BAUDRATE);
    // Receive only, raw: no modem lines, no flow control, no translation.
    mon.newtio.c_cflag |= mon.SERIAL_BIT | mon.SERIAL_PARITY | mon.SERIAL_STOPB | CREAD | CLOCAL;
    mon.newtio.c_iflag = IGNBRK;
    mon.newtio.c_oflag = 0;
    mon.newtio.c_lflag = 0;
    mon.newtio.c_cc[VMIN] = 0;
    mon.newtio.c_cc[VTIME] = 0;
    tcflush(mon.fhR2, TCIFLUSH);  // bytes from before the line was set up are thrown away
    if (tcsetattr(mon.fhR2, TCSANOW, &mon.newtio) != 0) {
        report("tcsetattr failed: %s\n", strerror(errno));
        exit(EXIT_SERIAL_FAILURE);
    }
    printf("Serial port, %s, initialization successful.\n", mon.SERIAL_PORT);
}
