// Core: the ground floor every subsystem stands on. The one process-wide
// state, the clock and its timestamp text, the console writer with its
// reporting helpers, and the process helpers (signals, shell commands, who
// the logger runs as). Includes nothing of the other subsystems.
//
// Every subsystem reads and changes `mon` directly; there is exactly one
// instance, holding its defaults from the first instruction of main.
#pragma once

#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <termios.h>
#include <time.h>

#include <cstddef>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Fixed limits.
constexpr int PACKET_MAX = 8192;                 // bytes of one packet, start byte to EOT
constexpr int KB_LINE_MAX = 81;                  // characters of one keyboard line
constexpr int KB_READ_MAX = 4096;                // keyboard bytes taken in one pass
constexpr int COMMENT_MAX = 72;                  // characters of an operator comment
constexpr int TEXT_MAX = 255;                    // settings texts and file names
constexpr int PARLINE_MAX = 510;                 // characters read as one parameter line
constexpr int RECORD_MAX = 1024;                 // one formatted message record
constexpr int CONSOLE_LINE_MAX = 4096;           // one formatted console line
constexpr size_t CONSOLE_HOLD_MAX = 64 * 1024;   // bytes a stream holds that its destination has not taken
constexpr int CONSOLE_EXIT_WAIT_MS = 1000;       // held output is written for at most this long at exit
constexpr int RX_CHUNK = 65536;                  // bytes taken from the serial line per read
constexpr size_t RX_WAKE_MAX = 1 << 20;          // taken from the line before the loop looks at the rest
constexpr int CTIME_LEN = 64;                    // "Www Mmm dd hh:mm:ss yyyy\n" (25) with room to spare
constexpr int STAMP_LEN = 20;                    // "DD/MM/YYYY,hh:mm:ss,"
constexpr int FRAMING_RECORDS_MAX = 10;          // framing failures recorded one by one in a minute
constexpr int WRITE_REPORTS = 4;                 // files whose write failures are rate-limited
constexpr size_t ALERT_CAUSES_MAX = 20;          // records of what failed, named in an alert's body
constexpr int REOPEN_INTERVAL = 5;               // seconds between tries to open a lost serial line
constexpr int CLOCK_STEP_MIN = 120;              // seconds the clock may jump between passes unrecorded
constexpr int SYNCED_FILES_MAX = 4;              // data files appended to in one pass, synced at its end
constexpr size_t UNWRITTEN_RECORDS_MAX = 16384;  // records kept while the message log refuses them
constexpr int ALERT_RETRY_MINUTES = 5;           // changes of minute between tries of a failed alert
constexpr int HMS_LEN = 8;                       // "hh:mm:ss"
constexpr int CONTROL_CLIENTS_MAX = 8;           // control clients at once, watchers included
constexpr int CONTROL_IDLE_MS = 10000;           // for a client to send its command
constexpr size_t WATCH_HOLD_MAX = 64 * 1024;     // console output a watcher holds that it has not read
constexpr int USER_NAME_MAX = 64;

constexpr int EXIT_QUIT = 0;
constexpr int EXIT_SERIAL_FAILURE = 255;   // the serial line cannot be set up
constexpr int EXIT_STORAGE_FAILURE = 255;  // ./data/ or today's files cannot be made at start-up
constexpr int EXIT_LOCKED = 255;           // another logger holds the working directory
constexpr int EXIT_SIGQUIT = 131;          // SIGQUIT ends without the core dump of its default

// last_alert_status of an alert whose mail command did not end in time, or
// could not be started.
constexpr int ALERT_TIMED_OUT = -1;
constexpr int ALERT_NOT_STARTED = -2;

constexpr const char* VERSION_TEXT = "KESTLOG (build 2015-Jun-19)";

// What the kernel says of the system clock's synchronisation; Unknown
// where it cannot be asked.
enum class ClockSync { Unknown, Synchronised, Unsynchronised };

// One connection to the control socket: the command line it is typing, who
// it is, and what it has yet to be sent (a reply, or for a watcher what the
// console showed).
struct ControlClient {
    int fd = -1;
    uid_t uid = static_cast<uid_t>(-1);
    char line[TEXT_MAX + 1] = {};
    int ptr = 0;
    char user[USER_NAME_MAX] = "";
    long long since_ms = 0;  // when it connected (monotonic)
    bool watcher = false;
    bool closing = false;       // its reply is complete: closed once sent
    bool waiting_mail = false;  // it asked for a test mail, and waits to hear how it went
    std::string out;
    size_t dropped = 0;  // a watcher's output not shown since it last kept up
};

// The recorded commands a user gave through the socket in this minute, and
// those refused past the limit.
struct CommandCount {
    char user[USER_NAME_MAX] = "";
    int recorded = 0;
    int refused = 0;
};
constexpr int COMMAND_USERS_MAX = 32;  // users counted apart in a minute; the rest share one count

// Which mail command runs: the alert's, or a test mail asked for through kestctl.
enum class AlertStep { None, Mail, TestMail };

// What raised the failure count since the last alert, gathered by kind: one
// line of the alert's body however often it happened.
struct AlertCause {
    std::string key;   // what makes two causes the same
    std::string text;  // the first one's text
    int kind = 0;      // the kind of record it is (formats' RecordKind)
    int count = 0;
    char first[HMS_LEN + 1] = "";  // when the first and the last came
    char last[HMS_LEN + 1] = "";
};

// When a file last had a write failure reported, so that a persistent
// fault does not flood standard error.
struct WriteReport {
    char path[TEXT_MAX + 1] = "";
    time_t when = 0;
};

// A file whose torn tail could not be moved aside: nothing is appended to it
// until a repair, tried again before each append, succeeds.
struct TornRepair {
    char path[TEXT_MAX + 1] = "";
    char torn[TEXT_MAX + 8] = "";
    char end = 0;    // the byte that ends a packet or record in it
    long moved = 0;  // bytes moved aside, 0 when whole, -1 when the repair failed
};

// An allocator whose resize leaves new bytes as they are: the receive buffer
// grows by a whole chunk before each read, and zeroing 64 KiB for the few kB
// that arrive would cost more than the read.
template <typename T>
struct UninitAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = UninitAllocator<U>;
    };
    UninitAllocator() = default;
    template <typename U>
    UninitAllocator(const UninitAllocator<U>&) {}
    template <typename U>
    void construct(U* p) {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

struct MonitorState {
    // Settings, changed only by the parameter file.
    char SERIAL_PORT[TEXT_MAX + 1] = "/dev/ttyUSB0";
    speed_t SERIAL_BAUDRATE = B9600;
    tcflag_t SERIAL_BIT = CS7;
    tcflag_t SERIAL_PARITY = PARENB;
    tcflag_t SERIAL_STOPB = 0;  // 0 for one stop bit, CSTOPB for two
    char site[TEXT_MAX + 1] = "WXX";
    char pardate[TEXT_MAX + 1] = "unknown";
    char maildest[TEXT_MAX + 1] = "operator@localhost";
    char kessendmail = 'Y';

    // Display switches.
    int kesd = 1;
    int kesrawd = 0;

    // Counters and flags.
    int kesfd = 0;
    int kesfm = 0;
    int minnokes = 0;
    int kesmailsent = 0;
    int hour_failures = 0;  // kesfm of the minutes of this clock hour already judged

    // Packet assembly.
    char skest[PACKET_MAX + 1] = {};
    int pchar2 = 0;
    int nchar2 = 0;
    // The last chunk read from the line, and how much of it is assembled.
    std::vector<unsigned char, UninitAllocator<unsigned char>> rxbuf;
    size_t rxpos = 0;
    unsigned long long rx_total = 0;  // bytes read from the line since start
    // Good packets taken from the chunk, back to back, not yet appended:
    // they are stored together once the chunk is assembled.
    std::string held_packets;
    std::vector<unsigned> held_sizes;
    std::vector<bool> held_stored;  // which were stored, when not all

    // Fault word of the last status packet.
    char kesfaultcode[5] = "";
    unsigned kesfaultnum = 0;
    char kesfault[TEXT_MAX + 1] = "";

    // Keyboard.
    char kbword[TEXT_MAX + 1] = {};
    int kbptr = 0;
    char kbchar = 0;
    struct termios initial_settings = {};
    bool console_saved = false;  // initial_settings were read, so they are put back at exit
    struct termios new_settings = {};
    int kb_taken = 0;       // keyboard bytes taken since the last pass
    bool kb_ended = false;  // standard input is at its end: no longer watched

    // The control socket and its clients.
    int control_fd = -1;
    ControlClient clients[CONTROL_CLIENTS_MAX];
    std::vector<CommandCount> command_counts;

    // Serial line.
    int fhR2 = -1;  // -1 while the line is lost
    struct termios newtio = {};
    int read_errno = 0;          // a read of the line failed with this; the line is then given up
    time_t retry_open = 0;       // when a lost line is next tried
    bool wait_for_line = false;  // a line missing at start-up is waited for, as one lost

    // File names.
    char meskes_basefile[TEXT_MAX + 1] = "";
    char meskeslog[TEXT_MAX + 1] = "";
    char kes_basefile[TEXT_MAX + 1] = "";
    char keslog[TEXT_MAX + 1] = "";
    char full_param_file[TEXT_MAX + 1] = "kestlog.par";
    char full_mail_file[TEXT_MAX + 1] = "lastmailmsg";
    WriteReport write_reports[WRITE_REPORTS] = {};
    // Data files appended to in this pass, flushed to the disk at its end,
    // and whether ./data/ gained a file (its entry is synced too).
    char synced_files[SYNCED_FILES_MAX][TEXT_MAX + 1] = {};
    int synced_count = 0;
    bool data_dir_changed = false;
    std::vector<TornRepair> torn_pending;
    // Records the message log refused, written ahead of the next one it takes.
    std::string unwritten_records;
    // What raised the failure count since the last alert was made, gathered
    // (at most ALERT_CAUSES_MAX lines, then how many more): its body's block.
    std::vector<AlertCause> alert_causes;
    int alert_causes_more = 0;
    std::string last_alert_cause;  // as noted last: a refusal reported and counted at once is one
    // The kinds of failure the journal has heard of this clock hour (bit per kind).
    unsigned long long journal_told = 0;

    // Clock: the latest reading (taken once a pass, and at each read of the
    // line), in milliseconds and in whole seconds, and its texts.
    char scurdatetim[STAMP_LEN + 1] = "dd/mm/yyyy,hh:mm:ss,";
    long long tstart_ms = 0;
    time_t tstart = 0;
    time_t longtime = 0;
    char acqtimline[CTIME_LEN] = "";
    struct tm newtime = {};
    unsigned char month = 0;
    char stimline[CTIME_LEN] = "";
    char oldmin = 0;
    char oldhr = 0;
    char olddayt = 0;
    char olddayu = 0;
    // The whole date (yyyymmdd), hour (yyyymmddhh) and minute (yyyymmddhhmm)
    // last seen by the period checks: digits alone miss a clock that jumps
    // by whole days, or a loop that stalled ten minutes.
    long long oldday_key = 0;
    long long oldhr_key = 0;
    long long oldmin_key = 0;
    // The previous pass's wall clock and monotonic clock, to tell a clock
    // step from time that really passed.
    long long lastpass_wall_ms = 0;
    long long lastpass_mono_ms = -1;

    // What the status command, the service manager and the metrics are told.
    time_t start_time = 0;
    char last_good_stamp[STAMP_LEN + 1] = "";  // timestamp text of the pass that stored it, "" before
    time_t last_good_time = 0;
    int today_status = 0;  // packets stored since midnight (or start)
    int today_message = 0;
    long packets_status = 0;  // since start, as are the counts below
    long packets_message = 0;
    long framing_failures = 0;
    int framing_this_minute = 0;  // framing failures of this minute, recorded or not
    long fault_records = 0;
    long fault_bits[16] = {};  // [i]: bit 1 << i
    long line_losses = 0;
    long storage_failure_count = 0;
    long packets_lost = 0;                   // good packets whose append failed, since start
    int today_lost = 0;                      // the same since midnight (or start)
    char today_lost_last[HMS_LEN + 1] = "";  // when the last of them came
    bool lost_this_minute = false;           // this minute has counted its loss as a failure
    // Lost packets not yet recorded: how many, the first and last, and why
    // the first could not be stored.
    int lost_pending = 0;
    char lost_first[HMS_LEN + 1] = "";
    char lost_last[HMS_LEN + 1] = "";
    char lost_reason[TEXT_MAX + 1] = "";
    long mails_sent = 0;
    long mails_failed = 0;
    long mails_timed_out = 0;
    char line_lost_since[STAMP_LEN + 1] = "";  // timestamp text of the loss, "" while the line is up
    char line_lost_reason[TEXT_MAX + 1] = "";  // why it was lost
    bool ready_told = false;                   // the service manager took READY=1
    // When standard error last heard of a loss and of a reopening: at most
    // one line a minute of each, however the line flaps.
    time_t line_lost_reported = 0;
    time_t line_reopened_reported = 0;
    char last_alert[STAMP_LEN + 1] = "";  // when the last alert e-mail was tried, "" before
    int last_alert_status = 0;            // its mail command's exit status, or one below
    // A failed alert waits to be tried again with the same body: the changes
    // of minute since its last try.
    bool alert_retry = false;
    int alert_retry_minutes = 0;
    std::string alert_body;
    // The alert's command that runs, watched by the main loop: its process,
    // its command line, when it started and must end, and the hour the
    // alert's try started in (the hour it spends).
    AlertStep alert_step = AlertStep::None;
    pid_t alert_pid = 0;
    std::string alert_command;
    long long alert_started_ms = 0;
    long long alert_deadline_ms = 0;
    long long alert_hour_key = 0;
    // The system clock's synchronisation as last read, and as last recorded.
    ClockSync clock_sync = ClockSync::Unknown;
    ClockSync clock_sync_recorded = ClockSync::Synchronised;
    // The process id a previous run left in kestlog.lock, 0 when it ended cleanly.
    int previous_run_pid = 0;
    // The metrics file for node_exporter's textfile collector, "" for none.
    char metrics_file[TEXT_MAX + 1] = "";

    // A stop signal that arrived (its number), acted on by the main loop.
    int stop_signal = 0;
};

extern MonitorState mon;

// Puts every field of `mon` back to its default (tests start from it).
void reset_state();

// --- clock -------------------------------------------------------------------

// The clock seam: every reading of the wall clock goes through wall_ms,
// milliseconds since the epoch at the clock's full resolution. (time()
// reads a coarse clock that turns its second some milliseconds after the
// one the loop wakes on.)
using ClockSource = long long (*)();
long long wall_ms();
// Replaces the clock (tests); nullptr restores the system clock.
void set_clock_source(ClockSource source);
// Milliseconds of the monotonic clock, for waits and to tell clock steps.
long long monotonic_ms();

// The second seam: the kernel's word on the system clock's synchronisation
// (adjtimex without changes). Tests replace it; nullptr restores the kernel.
using ClockSyncSource = ClockSync (*)();
ClockSync clock_sync_now();
void set_clock_sync_source(ClockSyncSource source);

// Breaks t down into local time, following a time zone changed while the
// logger runs.
void local_time(time_t t, struct tm* out);
// Formats t as local time in the fixed ctime layout "Www Mmm dd hh:mm:ss yyyy\n".
void format_ctime(time_t t, char out[CTIME_LEN]);
// Takes a reading of the clock (tstart_ms, tstart) and refreshes from it
// the timestamp text scurdatetim and the clock reading (readclock). One
// reading serves a whole pass: its records, its stamps and the day, hour and
// minute it judges agree.
void curdatetim();
// The clock reading of the latest sample: longtime, newtime, month and
// acqtimline (day tens never blank). Takes no sample of its own.
void readclock();
// The date (yyyymmdd), hour (yyyymmddhh) and minute (yyyymmddhhmm) of the
// latest clock reading, as numbers to compare.
long long reading_day_key();
long long reading_hour_key();
long long reading_minute_key();

// --- console output ------------------------------------------------------------
// All console output, standard output and standard error alike, goes through
// one writer that never makes the main loop wait. Each stream holds at most
// CONSOLE_HOLD_MAX bytes its destination has not taken; what does not fit is
// dropped, and a line "[console: N bytes not shown]" takes its place.

// Starts the writer threads and arranges for held output to be written at
// exit (for at most CONSOLE_EXIT_WAIT_MS). Before it, output is written at
// once, waiting as ordinary writes do (tests, and errors before start-up).
void console_start();
// Hands what was written so far to the writers. Output gathers until then
// (or until a few kB are held): the main loop kicks before it sleeps or waits.
void console_kick();
// Writes what is held, waiting at most timeout_ms; true when all was taken.
bool console_flush(int timeout_ms);
// Queues len bytes for standard output (1) or standard error (2).
void console_write(int fd, const void* data, size_t len);
// Formatted line on standard output.
void say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Formatted line on standard error (the caller supplies the newline).
void report(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Whether a report of a kind last made at *last (the pass's clock) is due
// again: a minute later, or at once after the clock was set back. Notes now.
bool report_due_again(time_t* last);
// While `into` is set, what would go to standard output is appended to it
// instead (a command's reply to the client that sent it); nullptr ends it.
void console_capture(std::string* into);
// Applied to everything written to standard output and standard error,
// before it is queued, captured for a client or copied to the watchers:
// returns true with the text to write instead in *out, or false to write
// it as it is. nullptr (the default) writes everything as it is.
using ConsoleFilter = bool (*)(std::string_view text, std::string* out);
void console_filter(ConsoleFilter filter);
// Called with every piece of standard output as it is written (the console's
// watchers); nullptr for none.
using ConsoleTee = void (*)(const char* data, size_t len);
void console_tee(ConsoleTee tee);

// --- the process ----------------------------------------------------------------

// Makes the process safe to run unattended: ignores SIGPIPE, SIGXFSZ and
// SIGHUP and puts /dev/null on any of descriptors 0-2 that is closed.
void harden_process();

// Runs fn when the process ends, by exit() or by end_by_signal; the last
// registered runs first. Meant for a handful of clean-up steps.
void at_end(void (*fn)());
// Runs the registered clean-up steps now (once only).
void run_end_hooks();

// Blocks SIGTERM, SIGINT, SIGQUIT and SIGCHLD in the calling thread (and the
// threads it starts later) and returns a descriptor that reads them, for
// the main loop to wait on; -1 after reporting why it cannot be had.
int stop_signal_fd();
// Reads what arrived on that descriptor: the last stop signal (0 for none);
// *child_ended is set when a child process ended.
int read_signals(int fd, bool* child_ended);
// The signal's name, e.g. "SIGTERM".
const char* signal_name(int sig);
// Ends the process the way the signal would have ended it (SIGQUIT: exit
// status EXIT_SIGQUIT, without a core dump).
[[noreturn]] void end_by_signal(int sig);

// Starts a command line through /bin/sh with the signals the logger ignores
// or catches back at their defaults, in a process group of its own when
// own_group (so that it can be ended whole). stdin_fd, when not -1, becomes
// its standard input. Returns its pid, or -1 after reporting why the shell
// could not be started.
pid_t spawn_shell(const char* cmdline, bool own_group, int stdin_fd = -1);

// Tells the service manager that started the logger (systemd, through its
// notify socket) the logger's state, e.g. "READY=1"; nothing without one.
// Never waits: false when the message was not taken.
bool notify_service(const char* state);
// Whether a service manager listens to notify_service.
bool service_manager_listens();

// Runs the program argv[0] (a path) with argv, no input, its standard
// output gathered into *out (at most CAPTURE_MAX bytes kept) and its
// standard error dropped, or gathered too with with_stderr; ends it after
// timeout_ms. Returns the wait status, or -1 with errno set (ETIMEDOUT when
// it was ended). With wrote, *wrote is what the program itself wrote, to
// files, pipes and sockets, whether it succeeded or not (-1 when the kernel
// does not say).
constexpr size_t CAPTURE_MAX = 1024 * 1024;
int run_capture(const char* const argv[], std::string* out, int timeout_ms, bool with_stderr = false,
                long long* wrote = nullptr);
// The path of a program on PATH or in the system folders a user's PATH
// often lacks (/usr/sbin, /sbin); "" when there is none.
std::string find_program(const char* name);

// Runs a command line through /bin/sh and waits for it. Returns the wait
// status, or -1 when the shell could not be started.
int run_shell(const char* cmdline);

// Who the logger runs as, and who owns a path, as names and an ls-style mode.
struct Ownership {
    char user[64];
    char owner[64];
    char group[64];
    char mode[11];
    struct stat st;
};
// Fills o for path. When path cannot be examined, reports "kestlog runs as
// user U; PATH cannot be examined: reason" and returns false.
bool examine_owner(const char* path, Ownership* o);
// Reports, after a refusal, who the logger runs as and who owns path:
// "kestlog runs as user U; PATH is owned by O, group G, mode M".
void explain_owner(const char* path);
// The user name (or number) of uid and the group name (or number) of gid.
void user_name(uid_t uid, char* out, size_t size);
void group_name(gid_t gid, char* out, size_t size);
// The mode as ls shows it, e.g. "crw-rw----".
void mode_text(mode_t mode, char out[11]);

// The mode a file made with `mode` gets under the process's umask.
mode_t creation_mode(mode_t mode);
// Reports "PATH is writable by its group|others: ..." when it is.
void warn_if_writable(const char* path);
