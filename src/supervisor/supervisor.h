// Supervisor: the one process-wide state, the clock and its timestamp text,
// start-up, the once-a-second main loop and the period checks.
//
// Every subsystem reads and changes `mon` directly; there is exactly one
// instance, holding its defaults from the first instruction of main.
#pragma once

#include <sys/types.h>
#include <termios.h>
#include <time.h>

#include <cstddef>
#include <vector>

// Fixed limits.
constexpr int PACKET_MAX = 8192;         // bytes of one packet, start byte to EOT
constexpr int KB_LINE_MAX = 81;          // characters of one keyboard line
constexpr int COMMENT_MAX = 72;          // characters of an operator comment
constexpr int TEXT_MAX = 255;            // settings texts and file names
constexpr int PARLINE_MAX = 510;         // characters read as one parameter line
constexpr int RECORD_MAX = 1024;         // one formatted message record
constexpr int RX_CHUNK = 65536;          // bytes taken from the serial line per read
constexpr size_t RX_HOLD_MAX = 1 << 20;  // held while a command runs; a minute at 57600 baud is 350 kB
constexpr int CTIME_LEN = 64;            // "Www Mmm dd hh:mm:ss yyyy\n" (25) with room to spare
constexpr int STAMP_LEN = 20;            // "DD/MM/YYYY,hh:mm:ss,"
constexpr int WRITE_REPORTS = 4;         // files whose write failures are rate-limited
constexpr int REOPEN_INTERVAL = 5;       // seconds between tries to open a lost serial line

constexpr int EXIT_QUIT = 0;
constexpr int EXIT_SERIAL_FAILURE = 255;  // the serial line cannot be set up

constexpr const char* VERSION_TEXT = "KESTLOG (build 2015-Jun-19)";

// When a file last had a write failure reported, so that a persistent
// fault does not flood standard error.
struct WriteReport {
    char path[TEXT_MAX + 1] = "";
    time_t when = 0;
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

    // Packet assembly.
    char skest[PACKET_MAX + 1] = {};
    int pchar2 = 0;
    int nchar2 = 0;
    // Bytes read from the line and not yet assembled: one chunk normally, more
    // when the line was read into memory while the loop waited on a command.
    std::vector<unsigned char> rxbuf;
    size_t rxpos = 0;

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

    // Serial line.
    int fhR2 = -1;  // -1 while the line is lost
    struct termios newtio = {};
    int read_errno = 0;     // a read of the line failed with this; the line is then given up
    time_t retry_open = 0;  // when a lost line is next tried

    // File names.
    char meskes_basefile[TEXT_MAX + 1] = "";
    char meskeslog[TEXT_MAX + 1] = "";
    char kes_basefile[TEXT_MAX + 1] = "";
    char keslog[TEXT_MAX + 1] = "";
    char full_param_file[TEXT_MAX + 1] = "kestlog.par";
    char full_mail_file[TEXT_MAX + 1] = "lastmailmsg";
    WriteReport write_reports[WRITE_REPORTS] = {};

    // Clock.
    char scurdatetim[STAMP_LEN + 1] = "dd/mm/yyyy,hh:mm:ss,";
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
};

extern MonitorState mon;

// Puts every field of `mon` back to its default (tests start from it).
void reset_state();

// The clock seam: every reading of the wall clock goes through clock_now.
using ClockSource = time_t (*)();
time_t clock_now();
// Replaces the clock (tests); nullptr restores the system clock.
void set_clock_source(ClockSource source);

// Formats t as local time in the fixed ctime layout "Www Mmm dd hh:mm:ss yyyy\n".
void format_ctime(time_t t, char out[CTIME_LEN]);
// Clock reading: longtime, newtime, month and acqtimline (day tens never blank).
void readclock();
// Refreshes the timestamp text scurdatetim from a fresh sample in tstart.
void curdatetim();

// Start-up sequence; ends the process when the serial line cannot be set up.
void startup();
// One pass of the main loop: clock, period checks, serial line, keyboard.
void mainpass();

// Period checks, run at the start of every main-loop pass.
void testday();
void testhour();
void testmin();

// Makes the process safe to run unattended: ignores SIGPIPE, SIGXFSZ and
// SIGHUP and puts /dev/null on any of descriptors 0-2 that is closed.
void harden_process();

// Starts a command line through /bin/sh with the signals the logger ignores
// back at their defaults, in a process group of its own when own_group (so
// that it can be ended whole). Returns its pid, or -1 after reporting why
// the shell could not be started.
pid_t spawn_shell(const char* cmdline, bool own_group);

// Runs a command line through /bin/sh and waits for it. Returns the wait
// status, or -1 when the shell could not be started.
int run_shell(const char* cmdline);

// Prints a formatted line on standard error (the caller supplies the newline).
void report(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
