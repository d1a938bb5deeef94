// The failure e-mail: a body file with the minute's failure count and the
// tail of the message log, handed to the host's mail command.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "alert/alert.h"
#include "link/link.h"
#include "core/core.h"

constexpr int COMMANDS_WAIT_S = 60;  // the longest the two commands together may hold up the loop
constexpr int MAIL_GRACE_S = 10;     // the mail command's least time, even after a hung tail
constexpr int WAIT_STEP_MS = 50;     // how often a running command is checked on

// run_command's results that are not an exit status.
constexpr int COMMAND_NOT_STARTED = -1;
constexpr int COMMAND_TIMED_OUT = -2;

// Characters that the shell takes literally, so that an address made only
// of them needs no quoting.
static bool shell_safe(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           strchr("@._+-", c) != nullptr;
}

// Appends text to out, never past its end; *len counts what the text needed.
static void put(char* out, size_t size, size_t* len, const char* text, size_t n) {
    if (size == 0) {
        *len += n;
        return;
    }
    for (size_t i = 0; i < n; i++, (*len)++) {
        if (*len + 1 < size) out[*len] = text[i];
    }
    out[std::min(*len, size - 1)] = '\0';
}

// One recipient, quoted for the shell unless every character is safe.
static void put_address(char* out, size_t size, size_t* len, const char* addr, size_t n) {
    if (std::all_of(addr, addr + n, shell_safe)) {
        put(out, size, len, addr, n);
        return;
    }
    put(out, size, len, "'", 1);
    for (size_t i = 0; i < n; i++) {
        if (addr[i] == '\'')
            put(out, size, len, "'\\''", 4);  // close, escaped quote, reopen
        else
            put(out, size, len, addr + i, 1);
    }
    put(out, size, len, "'", 1);
}

size_t build_mail_command(char* out, size_t size) {
    size_t len = 0;
    const char* head = "mail -skesfail ";
    put(out, size, &len, head, strlen(head));
    // The blanks between recipients are kept as they are; the shell splits there.
    for (const char* p = mon.maildest; *p;) {
        size_t n = *p == ' ' ? strspn(p, " ") : strcspn(p, " ");
        if (*p == ' ')
            put(out, size, &len, p, n);
        else
            put_address(out, size, &len, p, n);
        p += n;
    }
    const char* redirect = " < ";
    put(out, size, &len, redirect, strlen(redirect));
    put(out, size, &len, mon.full_mail_file, strlen(mon.full_mail_file));
    return len;
}

// Writes the body's first line, the failure count, into a fresh body file.
static bool write_body() {
    FILE* f = fopen(mon.full_mail_file, "we");
    if (!f) {
        report("%s: %s\n", mon.full_mail_file, strerror(errno));
        return false;
    }
    bool ok = fprintf(f, "kesfm=%i kesfd=%i\n", mon.kesfm, mon.kesfd) >= 0;
    ok = fclose(f) == 0 && ok;
    if (!ok) report("%s: %s\n", mon.full_mail_file, strerror(errno));
    return ok;
}

// Waits for a command until the deadline, meanwhile reading the serial line
// into memory so that its queue cannot overflow. A command still running at
// the deadline is killed with its whole process group.
static int wait_command(pid_t pid, long long deadline_ms, const char* cmdline) {
    int serial = mon.fhR2;
    for (;;) {
        int status;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (r < 0 && errno != EINTR) return COMMAND_NOT_STARTED;
        long long left = deadline_ms - monotonic_ms();
        if (left <= 0) {
            kill(-pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            report("mail command timed out after %d s: %s\n", COMMANDS_WAIT_S, cmdline);
            return COMMAND_TIMED_OUT;
        }
        struct pollfd p = {serial, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(std::min<long long>(left, WAIT_STEP_MS))) > 0) {
            // A line that hung up, failed or filled the memory set aside is
            // left alone until the loop runs again; poll would not wait on it.
            if (!(p.revents & POLLIN) || !hold_serial_input()) serial = -1;
        }
    }
}

// Runs a command line in a process group of its own. Returns its exit status
// (128 + signal when a signal ended it), or one of the results above.
static int run_command(const char* cmdline, long long deadline_ms) {
    pid_t pid = spawn_shell(cmdline, true);
    if (pid < 0) return COMMAND_NOT_STARTED;
    return wait_command(pid, deadline_ms, cmdline);
}

void kesemail() {
    if (mon.kesmailsent == 1 || mon.kessendmail != 'Y') return;
    mon.kesmailsent = 1;  // the hour is spent whether or not the mail goes out
    if (!write_body()) return;

    long long deadline = monotonic_ms() + COMMANDS_WAIT_S * 1000LL;
    char tail[2 * TEXT_MAX + 16];
    snprintf(tail, sizeof tail, "tail %s >> %s", mon.meskeslog, mon.full_mail_file);
    run_command(tail, deadline);  // a failed tail still leaves the count line to send
    say("email message <%s>\n", tail);

    char mail[MAIL_COMMAND_MAX];
    build_mail_command(mail, sizeof mail);
    deadline = std::max(deadline, monotonic_ms() + MAIL_GRACE_S * 1000LL);
    int status = run_command(mail, deadline);
    if (status == 0)
        say("sent kesfail email message <%s>\n", mail);
    else if (status > 0)
        report("mail command failed (status %d): %s\n", status, mail);
}
