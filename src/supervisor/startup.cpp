// Start-up sequence and one pass of the main loop.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "alert/alert.h"
#include "console/console.h"
#include "link/link.h"
#include "logs/logs.h"
#include "settings/settings.h"
#include "supervisor/supervisor.h"

// The absolute path of rel (relative to the working directory), for hints
// that must say which directory or file refused.
static void absolute_path(const char* rel, char* out, size_t size) {
    char cwd[TEXT_MAX + 1];
    if (!getcwd(cwd, sizeof cwd)) {
        snprintf(out, size, "%s", rel);
        return;
    }
    if (strncmp(rel, "./", 2) == 0) rel += 2;
    if (*rel == '\0' || strcmp(rel, ".") == 0) {
        snprintf(out, size, "%s", cwd);
        return;
    }
    int n = snprintf(out, size, "%s/%s", strcmp(cwd, "/") == 0 ? "" : cwd, rel);
    if (n > 1 && static_cast<size_t>(n) < size && out[n - 1] == '/') out[n - 1] = '\0';
}

void warn_of_open_directories() {
    char path[2 * TEXT_MAX + 2];
    absolute_path(".", path, sizeof path);
    warn_if_writable(path);
    absolute_path(DATA_DIR, path, sizeof path);
    warn_if_writable(path);
}

// After a refused file: who the logger runs as and who owns what refused,
// the file itself when it exists, otherwise the directory meant to hold it.
static void explain_refused(const char* file, const char* dir, int err) {
    if (err != EACCES && err != EPERM) return;
    struct stat st;
    char path[2 * TEXT_MAX + 2];
    absolute_path(file && lstat(file, &st) == 0 ? file : dir, path, sizeof path);
    explain_owner(path);
}

// The process id written in the lock file, 0 when it is empty; -1 when it
// holds something else.
static int lock_holder(int fd) {
    char text[32] = "";
    ssize_t n = pread(fd, text, sizeof text - 1, 0);
    if (n <= 0) return 0;
    text[n] = '\0';
    int pid = atoi(text);
    return pid > 0 ? pid : -1;
}

static int lock_fd = -1;

// Every end the logger takes itself: what was lost is recorded, the files
// are flushed to the disk, and the lock file is emptied, which tells the
// next run that this one stopped.
static void end_of_run() {
    end_alert_command();
    store_packets();
    record_lost_packets();
    // The last chance for what the message log refused: the journal.
    if (!mon.unwritten_records.empty())
        report("%s: not written: %s", mon.meskeslog[0] ? mon.meskeslog : DATA_DIR,
               mon.unwritten_records.c_str());
    sync_data_files();
    write_metrics();
    close_control_socket();
    if (lock_fd >= 0 && ftruncate(lock_fd, 0) != 0) report("%s: %s\n", LOCK_FILE, strerror(errno));
}

void lock_working_directory() {
    int fd = open_regular(LOCK_FILE, O_RDWR | O_CREAT, 0644);
    if (fd < 0) {
        int err = errno;
        report("%s: %s\n", LOCK_FILE, file_error(err));
        explain_refused(LOCK_FILE, ".", err);
        exit(EXIT_LOCKED);
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) {
            report("%s: %s\n", LOCK_FILE, strerror(errno));
        } else if (int pid = lock_holder(fd); pid > 0) {
            report("%s: another kestlog (process %d) is logging in this directory\n", LOCK_FILE, pid);
        } else {
            report("%s: another kestlog is logging in this directory\n", LOCK_FILE);
        }
        exit(EXIT_LOCKED);
    }
    // Held, open, for the life of the process; the id is for the operator,
    // and one found here is a run that ended without stopping.
    mon.previous_run_pid = lock_holder(fd);
    lock_fd = fd;
    at_end(end_of_run);
    char text[32];
    int n = snprintf(text, sizeof text, "%d\n", static_cast<int>(getpid()));
    if (ftruncate(fd, 0) != 0 || pwrite(fd, text, static_cast<size_t>(n), 0) != n)
        report("%s: %s\n", LOCK_FILE, strerror(errno));
}

// The start time as shown at start-up: day tens never blank, and the minute
// lowered to an even one (a start at 10:37 shows 10:36).
static void print_start_time() {
    format_ctime(mon.tstart, mon.stimline);
    if (mon.stimline[8] == ' ') mon.stimline[8] = '0';
    char& minute_units = mon.stimline[15];
    if (minute_units >= '0' && minute_units <= '9' && (minute_units - '0') % 2 == 1) minute_units--;
    say("Startup time = %.19s %s\n", mon.stimline, mon.stimline + 20);
}

// Without somewhere to store packets the logger is of no use: the reason is
// given (the failed append already named the file) and start-up ends.
static void need_storage(bool ok, const char* file) {
    if (ok) return;
    explain_refused(file, DATA_DIR, errno);
    exit(EXIT_STORAGE_FAILURE);
}

// Without data/ or a message log nothing can be stored, and the logger does
// not start. A status file refused (a link planted at today's name, say) is
// a failure like any other: recorded, its packets counted as not stored,
// and mailed, while the logger runs and tries it again with each packet.
static void make_storage() {
    if (!make_data_dir()) {
        int err = errno;
        report("%s: %s\n", DATA_DIR, file_error(err));
        if (err == ERR_NOT_OWNED)
            explain_refused("data", ".", EPERM);
        else
            explain_refused(nullptr, ".", err);
        exit(EXIT_STORAGE_FAILURE);
    }
    need_storage(mkmesnm(), mon.meskeslog);
    mkkesnm();
}

// How the run before ended, when it did not stop: each is a failure, so
// that the alert e-mail tells the operator.
static void record_previous_run(const std::vector<TornRepair>& torn) {
    if (mon.previous_run_pid != 0)
        record_failure(Shown::Record, REC_UNCLEAN_END, mon.previous_run_pid > 0 ? mon.previous_run_pid : 0);
    record_torn_files(torn);
}

void stop_if_signalled() {
    int sig = mon.stop_signal;
    if (sig == 0) return;
    if (mon.meskeslog[0] != '\0') {
        record_lost_packets();
        record_failure(Shown::Nothing, REC_STOPPED, signal_name(sig));
    }
    report("kestlog stopped by signal %s\n", signal_name(sig));
    end_by_signal(sig);
}

// The journal's first line of the run: what, where, which line, which site.
static void tell_start() {
    char dir[2 * TEXT_MAX + 2];
    absolute_path(".", dir, sizeof dir);
    report("kestlog %s starting in %s: line %s, site %s\n", KESTLOG_VERSION, dir, mon.SERIAL_PORT, mon.site);
}

void startup() {
    // Console blanking off; on anything but a Linux virtual console it fails,
    // harmlessly, and what it says about that is not shown.
    run_shell("setterm -blank 0 2>/dev/null");
    say("Program-Version: %s\n", VERSION_TEXT);
    print_start_time();
    init_keyboard();
    say("Keyboard initialization successful.\n");
    // The reading main took before start-up names the files and starts the
    // minute count.
    mon.start_time = mon.tstart;
    mon.oldmin = mon.acqtimline[15];
    mon.oldmin_key = reading_minute_key();
    make_storage();
    warn_of_open_directories();
    std::vector<TornRepair> torn = repair_torn_files();
    append_record(REC_STARTING, VERSION_TEXT);
    record_previous_run(torn);
    testclocksync();
    readparfile();
    tell_start();
    init_serial_port();
    write_metrics();
    open_control_socket();
}

// Alive, and how the logging goes, for the service manager: sent every pass,
// so that its watchdog sees a lost line (the loop runs on) as alive.
static void report_to_service() {
    if (!service_manager_listens()) return;
    // READY=1 again until the manager has taken it.
    if (!mon.ready_told) mon.ready_told = notify_service("READY=1");
    char state[TEXT_MAX + 128];
    const char* last_good = mon.last_good_stamp[0] ? mon.last_good_stamp + 11 : "none";
    if (mon.line_lost_since[0])
        snprintf(state, sizeof state, "WATCHDOG=1\nSTATUS=line lost since %.8s (%s), last good packet %.8s",
                 mon.line_lost_since + 11, mon.line_lost_reason, last_good);
    else
        snprintf(state, sizeof state, "WATCHDOG=1\nSTATUS=last good packet %.8s, %d failures this hour",
                 last_good, mon.hour_failures + mon.kesfm);
    notify_service(state);
}

void mainpass() {
    mon.kb_taken = 0;
    curdatetim();
    stop_if_signalled();
    testclockstep();
    testday();
    testhour();
    testmin();
    check_serial_line();
    sync_data_files();
    report_to_service();
}
