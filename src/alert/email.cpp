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
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "alert/alert.h"
#include "core/core.h"
#include "formats/formats.h"
#include "logs/logs.h"

constexpr int COMMANDS_WAIT_S = 60;  // the longest a mail command may take

// Ends of a command that are not an exit status.
constexpr int COMMAND_NOT_STARTED = -1;
constexpr int COMMAND_TIMED_OUT = -2;

static void command_ended(int status);

constexpr size_t BODY_KEPT_MAX = 60000;  // of the body, kept for a retry: below a pipe's capacity
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

// The body's head: the failure count, the site, and what failed since the
// last alert was made: the records themselves, so that a cause is named
// however much the message log took after it.
static std::string body_head() {
    char line[64];
    snprintf(line, sizeof line, "kesfm=%i kesfd=%i\n", mon.kesfm, mon.kesfd);
    std::string head = line;
    // Which site sent it: one operator reads the mail of many.
    char host[HOST_NAME_MAX + 1] = "";
    if (gethostname(host, sizeof host) != 0) snprintf(host, sizeof host, "unknown");
    host[HOST_NAME_MAX] = '\0';
    head += shown_as_text(std::string("kestlog at site ") + mon.site + " on host " + host + "\n");
    std::string causes = take_alert_causes();
    if (!causes.empty()) head += "What failed since the last alert:\n" + causes;
    // The tail follows, records that may repeat the causes: said so.
    head += std::string("The last lines of the message log ") + mon.meskeslog + ":\n";
    return head;
}

// The body's last line: where to look closer.
static std::string body_end() {
    char cwd[TEXT_MAX + 1];
    if (!getcwd(cwd, sizeof cwd)) snprintf(cwd, sizeof cwd, ".");
    return std::string("kestctl -C ") + cwd + " status\n";
}

// Writes the body into a fresh body file: a new file under a name no one
// can foresee, renamed into place, so that nothing planted at the body
// file's name is written through. Returns the file, open at its start for
// the mail command to read: the name is never opened again, so what is
// mailed is what was written. -1, after reporting why, when it cannot be.
static int write_body(const std::string& body) {
    char tmp[TEXT_MAX + 16];
    int fd = make_temporary(mon.full_mail_file, tmp, sizeof tmp);
    if (fd < 0) {
        report("%s: %s\n", mon.full_mail_file, strerror(errno));
        return -1;
    }
    bool ok = fchmod(fd, creation_mode(0666)) == 0 &&
              write(fd, body.data(), body.size()) == static_cast<ssize_t>(body.size()) &&
              rename(tmp, mon.full_mail_file) == 0 && lseek(fd, 0, SEEK_SET) == 0;
    if (!ok) {
        report("%s: %s\n", mon.full_mail_file, strerror(errno));
        unlink(tmp);
        close(fd);
        return -1;
    }
    return fd;
}

// The last lines of the message log, as tail gives them, read from at most
// its last TAIL_BYTES_MAX bytes.
static std::string tail_of_message_log() {
    std::string text;
    int fd = open_regular(mon.meskeslog, O_RDONLY);
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
    return shown_as_text(text.substr(start));  // a log from outside never drives a reader's terminal
}

// Ends a command and every process it started.
static void end_command(pid_t pid) {
    kill(-pid, SIGKILL);
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

// Starts a command line in a process group of its own, its standard input
// the body file (body_fd, closed here), or else the body on a pipe. Returns
// its pid, or -1 when it could not be started (reported).
static pid_t start_command(const char* cmdline, int body_fd, const std::string& body) {
    int in[2] = {body_fd, -1};
    if (body_fd < 0 && pipe2(in, O_CLOEXEC) != 0) {
        report("pipe: %s\n", strerror(errno));
        return -1;
    }
    pid_t pid = spawn_shell(cmdline, true, in[0]);
    close(in[0]);
    if (in[1] >= 0) {
        // The body is kept below a pipe's capacity; a command that reads
        // nothing must not hold the loop up all the same.
        fcntl(in[1], F_SETFL, O_NONBLOCK);
        if (pid >= 0 && write(in[1], body.data(), body.size()) < 0 && errno != EPIPE)
            report("pipe to mail command: %s\n", strerror(errno));
        close(in[1]);
    }
    return pid;
}

// The loop watches the command that runs: its end, or its deadline. `shown`
// is the command line as the console and standard error name it.
static void run_step(AlertStep step, const char* cmdline, const char* shown, long long deadline_ms,
                     int body_fd, const std::string& body) {
    mon.alert_command = shown;
    mon.alert_step = step;
    mon.alert_started_ms = monotonic_ms();
    mon.alert_deadline_ms = deadline_ms;
    mon.alert_pid = start_command(cmdline, body_fd, body);
    if (mon.alert_pid < 0) command_ended(COMMAND_NOT_STARTED);
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

// Only a mail that went out spends the hour, the one its try started in;
// any other end leaves the body for a retry in that hour.
static void mail_ended(int status) {
    note_alert(status);
    bool same_hour = mon.alert_hour_key == mon.oldhr_key;
    if (status == 0) {
        say("sent kesfail email message <%s>\n", mon.alert_command.c_str());
        // The agent may still bounce it: handed over is all that is known.
        report("alert mail handed to the mail agent for %s\n", mon.maildest);
        if (same_hour) mon.kesmailsent = 1;
        mon.alert_retry = false;
        mon.alert_body.clear();
        return;
    }
    if (status > 0) report("mail command failed (status %d): %s\n", status, mon.alert_command.c_str());
    mon.alert_retry = same_hour;
    mon.alert_retry_minutes = 0;
    if (!same_hour) mon.alert_body.clear();
}

// Hands the body to the mail command on its standard input: the body file
// the logger wrote and holds open when it can be written (and may be tried),
// otherwise (the disk that lost the packets is full) a pipe. The command
// line is named as it always was, "... < lastmailmsg" with a body file.
static void send_body(bool try_file, long long deadline_ms, bool tail_taken = false) {
    char mail[MAIL_COMMAND_MAX], shown[MAIL_COMMAND_MAX];
    int fd = try_file ? write_body(mon.alert_body) : -1;
    // The tail is in the body file, as tail(1) would have put it there.
    if (tail_taken && fd >= 0) say("email message <tail %s >> %s>\n", mon.meskeslog, mon.full_mail_file);
    build_mail_command(mail, sizeof mail, false);
    build_mail_command(shown, sizeof shown, fd >= 0);
    run_step(AlertStep::Mail, mail, shown, deadline_ms, fd, mon.alert_body);
}

// Who asked for the running test mail is told how it ended.
static void (*test_mail_done)(const char* outcome) = nullptr;

static void test_mail_ended(int status) {
    char outcome[MAIL_COMMAND_MAX + 64];
    if (status == 0)
        snprintf(outcome, sizeof outcome, "%s for %s\n", TEST_MAIL_HANDED, mon.maildest);
    else if (status == COMMAND_TIMED_OUT)
        snprintf(outcome, sizeof outcome, "test mail failed: the mail command timed out: %s\n",
                 mon.alert_command.c_str());
    else if (status < 0)
        snprintf(outcome, sizeof outcome, "test mail failed: the mail command could not be started\n");
    else
        snprintf(outcome, sizeof outcome, "test mail failed: mail command failed (status %d): %s\n", status,
                 mon.alert_command.c_str());
    report("%s", outcome);
    if (test_mail_done) test_mail_done(outcome);
    test_mail_done = nullptr;
}

static void command_ended(int status) {
    mon.alert_pid = 0;
    AlertStep step = mon.alert_step;
    mon.alert_step = AlertStep::None;
    if (step == AlertStep::TestMail)
        test_mail_ended(status);
    else
        mail_ended(status);
}

void alert_child_ended() {
    if (mon.alert_pid <= 0) return;
    int status;
    pid_t r = waitpid(mon.alert_pid, &status, WNOHANG);
    if (r == 0 || (r < 0 && errno == EINTR)) return;
    command_ended(r < 0               ? COMMAND_NOT_STARTED
                  : WIFEXITED(status) ? WEXITSTATUS(status)
                                      : 128 + WTERMSIG(status));
}

void check_alert_deadline() {
    if (mon.alert_pid <= 0 || monotonic_ms() < mon.alert_deadline_ms) return;
    end_command(mon.alert_pid);
    report("mail command timed out after %d s: %s\n",
           static_cast<int>((mon.alert_deadline_ms - mon.alert_started_ms + 500) / 1000),
           mon.alert_command.c_str());
    command_ended(COMMAND_TIMED_OUT);
}

void end_alert_command() {
    if (mon.alert_pid > 0) end_command(mon.alert_pid);
    mon.alert_pid = 0;
    mon.alert_step = AlertStep::None;
}

bool alert_running() { return mon.alert_step != AlertStep::None; }

void kesemail() {
    if (mon.kesmailsent == 1 || mon.kessendmail != 'Y' || mon.alert_retry || alert_running()) return;
    mon.alert_hour_key = mon.oldhr_key;
    // The tail is taken here, as tail(1) gives it, and named as it always was.
    mon.alert_body = body_head() + tail_of_message_log() + body_end();
    send_body(true, monotonic_ms() + COMMANDS_WAIT_S * 1000LL, true);
}

const char* start_test_mail(const char* asked_by, void (*done)(const char* outcome)) {
    if (mon.kessendmail != 'Y')
        return "e-mail is off (kessendmail=Y in kestlog.par turns it on); no test mail\n";
    if (alert_running()) return "an alert mail is being handed over now; try again in a minute\n";
    char host[HOST_NAME_MAX + 1] = "";
    if (gethostname(host, sizeof host) != 0) snprintf(host, sizeof host, "unknown");
    host[HOST_NAME_MAX] = '\0';
    char mail[MAIL_COMMAND_MAX];
    build_mail_command(mail, sizeof mail, false);
    std::string body = std::string("kestlog test mail from site ") + mon.site + " on host " + host +
                       ", asked by " + asked_by + ".\nAlert mails take the same way: " + mail + "\n" +
                       body_end();
    test_mail_done = done;
    report("test mail asked by %s: %s\n", asked_by, mail);
    run_step(AlertStep::TestMail, mail, mail, monotonic_ms() + COMMANDS_WAIT_S * 1000LL, -1,
             shown_as_text(body));
    return nullptr;
}

void retry_kesemail() {
    if (!mon.alert_retry || alert_running() || ++mon.alert_retry_minutes < ALERT_RETRY_MINUTES) return;
    mon.alert_retry_minutes = 0;
    mon.alert_hour_key = mon.oldhr_key;
    send_body(true, monotonic_ms() + COMMANDS_WAIT_S * 1000LL);
}

void rearm_kesemail() {
    mon.kesmailsent = 0;
    mon.alert_retry = false;
    if (!alert_running()) mon.alert_body.clear();
}
