// Opening and configuring the serial line.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/core.h"
#include "link/link.h"
#include "logs/logs.h"

namespace {

constexpr int NAME_MAX_LEN = 64;

bool in_group(gid_t gid) {
    if (getegid() == gid) return true;
    gid_t groups[256];
    int n = getgroups(256, groups);
    for (int i = 0; i < n; i++) {
        if (groups[i] == gid) return true;
    }
    return false;
}

// A refused serial device is nearly always a user outside the device's group,
// or a group without access: say who the logger runs as, who may open the
// device, and the usual fix. Joining a group is proposed only where that
// group may read and write the device, and never group root.
void explain_refusal(const char* path) {
    Ownership o;
    if (!examine_owner(path, &o)) return;
    bool member = in_group(o.st.st_gid);
    char who[2 * NAME_MAX_LEN + 32];
    if (member)
        snprintf(who, sizeof who, "%s, a member of group %s", o.user, o.group);
    else
        snprintf(who, sizeof who, "%s", o.user);
    bool group_may = (o.st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP) && o.st.st_gid != 0;
    const char* fix = "";
    char join[3 * NAME_MAX_LEN + 96];
    if (!group_may) {
        fix = ": give the group read and write access (a udev rule with GROUP=\"dialout\", MODE=\"0660\")";
    } else if (!member) {
        snprintf(
            join, sizeof join,
            ": add the user to that group (usermod -a -G %s %s), then log in again or restart the service",
            o.group, o.user);
        fix = join;
    }
    report("kestlog runs as user %s; %s is owned by %s, group %s, mode %s%s\n", who, path, o.owner, o.group,
           o.mode, fix);
}

}  // namespace

// Pseudo-terminals have no character size or parity: the first setting of
// 7E1 passes, later ones fail. There, and only there (the slave side, the
// one a program is given), the line is taken as it is when those are all it
// cannot take.
bool take_pty_as_it_is(int fd, int err) {
    constexpr unsigned PTY_MAJOR_FIRST = 136, PTY_MAJOR_LAST = 143;
    struct stat st;
    if (err != EINVAL || fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || major(st.st_rdev) < PTY_MAJOR_FIRST ||
        major(st.st_rdev) > PTY_MAJOR_LAST)
        return false;
    struct termios now;
    if (tcgetattr(fd, &now) == 0) {
        constexpr tcflag_t UNSUPPORTED = CSIZE | PARENB | PARODD;
        struct termios t = mon.newtio;
        t.c_cflag = (t.c_cflag & ~UNSUPPORTED) | (now.c_cflag & UNSUPPORTED);
        if (tcsetattr(fd, TCSANOW, &t) == 0) return true;
    }
    errno = err;
    return false;
}

// Opens, locks and configures the line. Returns the descriptor, or -1 with
// why it failed in `why` and the system's error in errno; *not_opened tells
// that the device itself could not be opened.
static int open_serial_line(char* why, size_t size, bool* not_opened = nullptr) {
    int fd = open(mon.SERIAL_PORT, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (not_opened) *not_opened = fd < 0;
    if (fd < 0) {
        int err = errno;
        snprintf(why, size, "%s: %s", mon.SERIAL_PORT, strerror(err));
        errno = err;
        return -1;
    }
    // Two loggers on one line would each get some of its bytes.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        if (err == EWOULDBLOCK && flock_holder(fd) > 0)
            snprintf(why, size, "%s: already in use by another process (process %d)", mon.SERIAL_PORT,
                     flock_holder(fd));
        else if (err == EWOULDBLOCK)
            snprintf(why, size, "%s: already in use by another process", mon.SERIAL_PORT);
        else
            snprintf(why, size, "%s: cannot be locked: %s", mon.SERIAL_PORT, strerror(err));
        close(fd);
        errno = err;
        return -1;
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
    tcflush(fd, TCIFLUSH);  // bytes from before the line was set up are thrown away
    if (tcsetattr(fd, TCSANOW, &mon.newtio) != 0 && !take_pty_as_it_is(fd, errno)) {
        int err = errno;
        snprintf(why, size, "tcsetattr failed: %s", strerror(err));
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

// A path that names no serial line (a file, a directory's node, /dev/null).
static void explain_not_serial() {
    char user[NAME_MAX_LEN];
    user_name(geteuid(), user, sizeof user);
    report("kestlog runs as user %s; %s is not a serial device\n", user, mon.SERIAL_PORT);
}

static void lose_line(const char* reason);

// An adapter not plugged in yet, or one that failed: no device node, or one
// without a device behind it. Any other refusal is a set-up error.
static bool device_missing(int err) { return err == ENOENT || err == ENODEV || err == ENXIO || err == EIO; }

void init_serial_port() {
    char why[TEXT_MAX + 64];
    bool not_opened;
    mon.fhR2 = open_serial_line(why, sizeof why, &not_opened);
    if (mon.fhR2 < 0) {
        int err = errno;
        if (mon.wait_for_line && not_opened && device_missing(err)) {
            // Waited for as a line lost while running.
            lose_line(strerror(err));
            return;
        }
        report("%s\n", why);
        if (err == EACCES || err == EPERM) explain_refusal(mon.SERIAL_PORT);
        if (err == ENOTTY || err == EISDIR) explain_not_serial();
        exit(EXIT_SERIAL_FAILURE);
    }
    say("Serial port, %s, initialization successful.\n", mon.SERIAL_PORT);
}

// Why the open line can no longer be used, or nullptr while it is sound:
// a failed read, a hang-up or error with nothing left to read, or a device
// node that is gone or now names another device (an adapter replugged).
static const char* line_fault() {
    if (mon.read_errno != 0) return strerror(mon.read_errno);
    struct pollfd p = {mon.fhR2, POLLIN, 0};
    // A hung-up line may still hold bytes: they are read first. (A line hung
    // up by its driver shows POLLIN for ever, so the queue itself is asked.)
    if (poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
        int queued = 0;
        if (ioctl(mon.fhR2, FIONREAD, &queued) != 0 || queued <= 0)
            return (p.revents & POLLHUP) ? "hang-up" : strerror(EIO);
    }
    struct stat now, held;
    if (stat(mon.SERIAL_PORT, &now) != 0) return strerror(errno);
    if (fstat(mon.fhR2, &held) == 0 &&
        (now.st_dev != held.st_dev || now.st_ino != held.st_ino || now.st_rdev != held.st_rdev))
        return "the device was replaced";
    return nullptr;
}

// Gives up the line: a packet cut short by the loss is dropped with what was
// read, so that it cannot swallow the first packet after the line is back.
static void lose_line(const char* reason) {
    store_packets();
    if (mon.fhR2 >= 0) close(mon.fhR2);
    mon.fhR2 = -1;
    mon.read_errno = 0;
    mon.pchar2 = 0;
    mon.rxbuf.clear();
    mon.rxpos = 0;
    mon.line_losses++;
    memcpy(mon.line_lost_since, mon.scurdatetim, sizeof mon.line_lost_since);
    snprintf(mon.line_lost_reason, sizeof mon.line_lost_reason, "%s", reason);
    record_failure(Shown::Record, REC_LINE_LOST, mon.SERIAL_PORT, reason);
    // Standard error is the service's journal, where the operator looks.
    if (report_due_again(&mon.line_lost_reported)) report(REC_LINE_LOST, mon.SERIAL_PORT, reason);
    mon.retry_open = mon.tstart + REOPEN_INTERVAL;
}

// Tries the lost line again once its time has come; failures stay quiet.
static void retry_line() {
    time_t now = mon.tstart;
    // A clock set back must not postpone the next try by the same amount.
    if (now < mon.retry_open && mon.retry_open - now <= REOPEN_INTERVAL) return;
    mon.retry_open = now + REOPEN_INTERVAL;
    char why[TEXT_MAX + 64];
    mon.fhR2 = open_serial_line(why, sizeof why);
    if (mon.fhR2 < 0) return;
    say("Serial port, %s, initialization successful.\n", mon.SERIAL_PORT);
    append_record(REC_LINE_REOPENED, mon.SERIAL_PORT);
    if (report_due_again(&mon.line_reopened_reported)) report(REC_LINE_REOPENED, mon.SERIAL_PORT);
    mon.line_lost_since[0] = '\0';
}

void check_serial_line() {
    if (mon.fhR2 < 0) {
        retry_line();
        return;
    }
    const char* reason = line_fault();
    if (reason) lose_line(reason);
}
