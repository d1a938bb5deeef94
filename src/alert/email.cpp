// The failure e-mail: a body file with the minute's failure count and the
// tail of the message log, handed to the host's mail command.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "alert/alert.h"
#include "core/core.h"
#include "link/link.h"

constexpr int COMMANDS_WAIT_S = 60;  // the longest the two commands together may hold up the loop
constexpr int MAIL_GRACE_S = 10;     // the mail command's least time, even after a hung tail
constexpr int WAIT_STEP_MS = 50;     // how often a running command is checked on

// run_command's results that are not an exit status.
constexpr int COMMAND_NOT_STARTED = -1;
constexpr int COMMAND_TIMED_OUT = -2;
constexpr int COMMAND_STOPPED = -3;  // a stop signal arrived meanwhile

constexpr size_t BODY_KEPT_MAX = 65536;  // of the body file, kept for a retry
constexpr int TAIL_LINES = 10;           // lines of the message log in the body, as tail gives
constexpr off_t TAIL_BYTES_MAX = 16384;  // read from the end of the message log for them

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

size_t build_mail_command(char* out, size_t size, bool body_file) {
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
    if (!body_file) return len;
    const char* redirect = " < ";
    put(out, size, &len, redirect, strlen(redirect));
    put(out, size, &len, mon.full_mail_file, strlen(mon.full_mail_file));
    return len;
}

// The body's head: the failure count and the storage failures of the minute,
// as they were reported.
static std::string body_head() {
    char line[64];
    snprintf(line, sizeof line, "kesfm=%i kesfd=%i\n", mon.kesfm, mon.kesfd);
    std::string head = line;
    for (const std::string& failure : mon.storage_failures) head += failure + "\n";
    return head;
}

// Writes the body's head into a fresh body file.
static bool write_body(const std::string& head) {
    FILE* f = fopen(mon.full_mail_file, "we");
    if (!f) {
        report("%s: %s\n", mon.full_mail_file, strerror(errno));
        return false;
    }
    bool ok = fwrite(head.data(), 1, head.size(), f) == head.size();
    ok = fclose(f) == 0 && ok;
    if (!ok) report("%s: %s\n", mon.full_mail_file, strerror(errno));
    return ok;
}

// The last lines of the message log, as tail gives them, read from at most
// its last TAIL_BYTES_MAX bytes.
static std::string tail_of_message_log() {
    std::string text;
    int fd = open(mon.meskeslog, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return text;
    struct stat st;
    off_t from = fstat(fd, &st) == 0 && st.st_size > TAIL_BYTES_MAX ? st.st_size - TAIL_BYTES_MAX : 0;
    char buf[TAIL_BYTES_MAX];
    ssize_t n = pread(fd, buf, sizeof buf, from);
    close(fd);
    if (n <= 0) return text;
    text.assign(buf, static_cast<size_t>(n));
    // Back from the last line's own newline to the start of the tenth line
    // from the end; a line cut by where the reading began is left out.
    size_t end = text.size() - (text.back() == '\n' ? 1 : 0);
    size_t start = 0;
    int lines = 0;
    for (size_t i = end; i > 0; i--) {
        if (text[i - 1] == '\n' && ++lines == TAIL_LINES) {
            start = i;
            break;
        }
    }
    if (start == 0 && from > 0) start = text.find('\n') + 1;
    return text.substr(start);
}

// Ends a command and every process it started.
static void end_command(pid_t pid) {
    kill(-pid, SIGKILL);
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

// Waits for a command until the deadline, meanwhile reading the serial line
// into memory so that its queue cannot overflow. A command still running at
// the deadline, or when a stop signal arrives, is ended with its whole
// process group.
static int wait_command(pid_t pid, long long started_ms, long long deadline_ms, const char* cmdline) {
    console_kick();  // what was printed shows while the command runs
    int serial = mon.fhR2;
    for (;;) {
        int status;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (r < 0 && errno != EINTR) return COMMAND_NOT_STARTED;
        if (mon.stop_signal != 0) {
            end_command(pid);
            return COMMAND_STOPPED;
        }
        notify_service("WATCHDOG=1");  // a command wait is no hang
        long long left = deadline_ms - monotonic_ms();
        if (left <= 0) {
            end_command(pid);
            report("mail command timed out after %d s: %s\n",
                   static_cast<int>((deadline_ms - started_ms + 500) / 1000), cmdline);
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

// Runs a command line in a process group of its own, with input (when not
// null) on its standard input through a pipe. Returns its exit status (128
// + signal when a signal ended it), or one of the results above.
static int run_command(const char* cmdline, long long deadline_ms, const std::string* input = nullptr) {
    int in[2] = {-1, -1};
    if (input && pipe2(in, O_CLOEXEC) != 0) {
        report("pipe: %s\n", strerror(errno));
        return COMMAND_NOT_STARTED;
    }
    long long started_ms = monotonic_ms();
    pid_t pid = spawn_shell(cmdline, true, in[0]);
    if (input) {
        close(in[0]);
        // The body is far below a pipe's capacity; a command that reads
        // nothing must not hold the loop up all the same.
        fcntl(in[1], F_SETFL, O_NONBLOCK);
        if (pid >= 0 && write(in[1], input->data(), input->size()) < 0 && errno != EPIPE)
            report("pipe to mail command: %s\n", strerror(errno));
        close(in[1]);
    }
    if (pid < 0) return COMMAND_NOT_STARTED;
    return wait_command(pid, started_ms, deadline_ms, cmdline);
}

// Kept for the status command and the metrics.
static void note_alert(int status) {
    memcpy(mon.last_alert, mon.scurdatetim, sizeof mon.last_alert);
    if (status == COMMAND_TIMED_OUT) {
        mon.last_alert_status = ALERT_TIMED_OUT;
        mon.mails_timed_out++;
    } else if (status < 0) {
        mon.last_alert_status = ALERT_NOT_STARTED;
        mon.mails_failed++;
    } else {
        mon.last_alert_status = status;
        (status == 0 ? mon.mails_sent : mon.mails_failed)++;
    }
}

// Only a mail that went out spends the hour; any other end of the mail
// command leaves the body for a retry.
static void mail_ended(int status, const char* mail) {
    if (status == COMMAND_STOPPED) return;
    note_alert(status);
    if (status == 0) {
        say("sent kesfail email message <%s>\n", mail);
        mon.kesmailsent = 1;
        mon.alert_retry = false;
        mon.alert_body.clear();
        return;
    }
    if (status > 0) report("mail command failed (status %d): %s\n", status, mail);
    mon.alert_retry = true;
    mon.alert_retry_minutes = 0;
}

// The body file as tail left it, kept for a retry; what was meant to be in
// it when it cannot be read back.
static std::string read_body(const std::string& head) {
    std::string body;
    FILE* f = fopen(mon.full_mail_file, "re");
    if (!f) return head + tail_of_message_log();
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0 && body.size() < BODY_KEPT_MAX;) body.append(buf, n);
    fclose(f);
    return body;
}

// Hands the body to the mail command: from the body file when it can be
// written (and may be tried), otherwise (the disk that lost the packets is
// full) on a pipe.
static void send_body(const std::string& body, bool try_file) {
    long long deadline = monotonic_ms() + COMMANDS_WAIT_S * 1000LL;
    char mail[MAIL_COMMAND_MAX];
    bool file = try_file && write_body(body);
    build_mail_command(mail, sizeof mail, file);
    mail_ended(run_command(mail, deadline, file ? nullptr : &body), mail);
}

// The first try: the body file, the tail of the message log appended by
// tail, and the mail command reading the file.
static void mail_from_file(const std::string& head) {
    long long deadline = monotonic_ms() + COMMANDS_WAIT_S * 1000LL;
    char tail[2 * TEXT_MAX + 16];
    snprintf(tail, sizeof tail, "tail %s >> %s", mon.meskeslog, mon.full_mail_file);
    // A failed tail still leaves the count line to send.
    if (run_command(tail, deadline) == COMMAND_STOPPED) return;
    say("email message <%s>\n", tail);
    mon.alert_body = read_body(head);

    char mail[MAIL_COMMAND_MAX];
    build_mail_command(mail, sizeof mail);
    deadline = std::max(deadline, monotonic_ms() + MAIL_GRACE_S * 1000LL);
    mail_ended(run_command(mail, deadline), mail);
}

void kesemail() {
    if (mon.kesmailsent == 1 || mon.kessendmail != 'Y' || mon.alert_retry) return;
    std::string head = body_head();
    if (write_body(head)) {
        mail_from_file(head);
    } else {
        mon.alert_body = head + tail_of_message_log();
        send_body(mon.alert_body, false);
    }
}

void retry_kesemail() {
    if (!mon.alert_retry || ++mon.alert_retry_minutes < ALERT_RETRY_MINUTES) return;
    mon.alert_retry_minutes = 0;
    send_body(mon.alert_body, true);
}

void rearm_kesemail() {
    mon.kesmailsent = 0;
    mon.alert_retry = false;
    mon.alert_body.clear();
}
