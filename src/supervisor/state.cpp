// The process-wide state, the clock seam and process-level helpers.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "supervisor/supervisor.h"

MonitorState mon;

void reset_state() { mon = MonitorState{}; }

static time_t system_clock() { return time(nullptr); }

static ClockSource current_clock = system_clock;

time_t clock_now() { return current_clock(); }

void set_clock_source(ClockSource source) { current_clock = source ? source : system_clock; }

void report(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
}

// Signals that would end an unattended logger for no good reason: a closed
// output pipe, a file-size limit, a console that hangs up. Ignored, each
// shows as a failed call instead.
static const int ignored_signals[] = {SIGPIPE, SIGXFSZ, SIGHUP};

void harden_process() {
    // Fill closed standard descriptors first, so that no file or device the
    // logger opens later can land on 0, 1 or 2 and receive console output.
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            int nfd = open("/dev/null", O_RDWR);
            if (nfd >= 0 && nfd != fd) {
                dup2(nfd, fd);
                close(nfd);
            }
        }
    }
    for (int sig : ignored_signals) signal(sig, SIG_IGN);
}

extern char** environ;

pid_t spawn_shell(const char* cmdline, bool own_group) {
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int sig : ignored_signals) sigaddset(&defaults, sig);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    short flags = POSIX_SPAWN_SETSIGDEF;
    if (own_group) {
        posix_spawnattr_setpgroup(&attr, 0);
        flags |= POSIX_SPAWN_SETPGROUP;
    }
    posix_spawnattr_setflags(&attr, flags);

    char sh[] = "sh", dash_c[] = "-c";
    char* argv[] = {sh, dash_c, const_cast<char*>(cmdline), nullptr};
    pid_t pid;
    int rc = posix_spawn(&pid, "/bin/sh", nullptr, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        report("/bin/sh: %s\n", strerror(rc));
        return -1;
    }
    return pid;
}

int run_shell(const char* cmdline) {
    pid_t pid = spawn_shell(cmdline, false);
    if (pid < 0) return -1;
    int status;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return status;
}
