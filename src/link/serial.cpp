// Opening and configuring the serial line.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/link.h"
#include "supervisor/supervisor.h"

namespace {

constexpr int NAME_MAX_LEN = 64;

void user_name(uid_t uid, char* out, size_t size) {
    struct passwd* pw = getpwuid(uid);
    if (pw) {
        snprintf(out, size, "%s", pw->pw_name);
    } else {
        snprintf(out, size, "%u", static_cast<unsigned>(uid));
    }
}

void group_name(gid_t gid, char* out, size_t size) {
    struct group* gr = getgrgid(gid);
    if (gr) {
        snprintf(out, size, "%s", gr->gr_name);
    } else {
        snprintf(out, size, "%u", static_cast<unsigned>(gid));
    }
}

// The mode as ls shows it, e.g. "crw-rw----".
void mode_text(mode_t mode, char out[11]) {
    out[0] = S_ISCHR(mode) ? 'c' : S_ISLNK(mode) ? 'l' : S_ISDIR(mode) ? 'd' : S_ISREG(mode) ? '-' : '?';
    const char* rwx = "rwxrwxrwx";
    for (int i = 0; i < 9; i++) out[1 + i] = (mode & (0400 >> i)) ? rwx[i] : '-';
    out[10] = '\0';
}

bool in_group(gid_t gid) {
    if (getegid() == gid) return true;
    gid_t groups[256];
    int n = getgroups(256, groups);
    for (int i = 0; i < n; i++) {
        if (groups[i] == gid) return true;
    }
    return false;
}

// A refused serial device is nearly always a user outside the device's group:
// say who the logger runs as, who may open the device, and the usual fix.
void explain_refusal(const char* path) {
    char user[NAME_MAX_LEN];
    user_name(geteuid(), user, sizeof user);
    struct stat st;
    if (stat(path, &st) != 0) {
        report("kestlog runs as user %s; %s cannot be examined: %s\n", user, path, strerror(errno));
        return;
    }
    char owner[NAME_MAX_LEN], group[NAME_MAX_LEN], mode[11];
    user_name(st.st_uid, owner, sizeof owner);
    group_name(st.st_gid, group, sizeof group);
    mode_text(st.st_mode, mode);
    if (in_group(st.st_gid)) {
        report(
            "kestlog runs as user %s, a member of group %s; %s is owned by %s, group %s, mode %s: "
            "the group needs read and write access (a udev rule with MODE=\"0660\")\n",
            user, group, path, owner, group, mode);
    } else {
        report(
            "kestlog runs as user %s; %s is owned by %s, group %s, mode %s: "
            "add the user to that group (usermod -a -G %s %s), then log in again or restart the service\n",
            user, path, owner, group, mode, group, user);
    }
}

}  // namespace

void init_serial_port() {
    mon.fhR2 = open(mon.SERIAL_PORT, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (mon.fhR2 < 0) {
        int err = errno;
        report("%s: %s\n", mon.SERIAL_PORT, strerror(err));
        if (err == EACCES || err == EPERM) explain_refusal(mon.SERIAL_PORT);
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
