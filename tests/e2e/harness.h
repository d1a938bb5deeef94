// End-to-end harness: runs the built kestlog in a scratch directory with a
// pseudo-terminal as its serial line and another as its console, optionally
// under libfaketime, and reads back what it printed and wrote.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>
#include <termios.h>

#include <string>
#include <vector>

struct LoggerOptions {
    // Parameter file content; "@PTY@" stands for the serial pseudo-terminal.
    std::string parfile = "serial_port=@PTY@,9600,7,E,1\n";
    bool write_parfile = true;
    // libfaketime clock setting, e.g. "@2015-06-16 23:59:40 x10"; empty for the real clock.
    std::string faketime;
    // A faketime session of the logger's own instead of the test's: a logger
    // killed inside libfaketime (a power cut) can leave its session's lock
    // taken, and the next process of that session would wait for ever. Its
    // session's files in /dev/shm are removed once it has ended.
    bool own_clock_session = false;
    // The clock read from a file instead (libfaketime's timestamp file), so
    // that a test can step it while the logger runs; see set_clock(). A
    // moment ("2015-06-16 14:00:00") or an offset from the real clock ("+0").
    std::string clock_file_time;
    bool close_std_fds = false;     // start with descriptors 0, 1 and 2 closed
    bool stdout_to_pipe = false;    // standard output a pipe (closed by the harness at once)
    bool keep_stdout_pipe = false;  // ... or kept open, unread until read_stdout_pipe()
    rlim_t file_size_limit = RLIM_INFINITY;
    // Standard input: the console, a pipe that stays open and silent, a pipe
    // already at its end (its writer gone), or /dev/null.
    enum class Input { Console, SilentPipe, EndedPipe, Null, Zero } input = Input::Console;
    // Run as this user (the test must be root), with these supplementary groups;
    // the scratch directory is given to that user unless told not to.
    std::string run_as;
    std::vector<gid_t> groups;
    bool give_dir = true;
    // More environment, e.g. a service manager's NOTIFY_SOCKET; with
    // watchdog_pid, WATCHDOG_PID names the logger itself.
    std::vector<std::string> env;
    bool watchdog_pid = false;
    // Command-line arguments after the program's name.
    std::vector<std::string> args;
    // Run under strace from its first instruction, tracing these calls
    // (e.g. "fsync,ftruncate") with the files they name into strace.txt in
    // the scratch directory; pid() is then strace's.
    std::string strace;
    // What the kernel is made to say of the system clock: "synchronised",
    // "unsynchronised" or "refused" (a sandbox that refuses to tell); empty
    // for the machine's own answer. See set_clock_sync().
    std::string clock_sync = "synchronised";
};

class Logger {
   public:
    Logger();
    ~Logger();

    // Starts kestlog; waits for its ready banner unless told not to. Once a
    // run has ended (or been killed), starts another in the same directory.
    void start(const LoggerOptions& opts = LoggerOptions(), bool wait_ready = true);

    void write_serial(const std::string& bytes);
    // Types keys at the console.
    void type(const std::string& keys);
    // Puts an executable script into the scratch directory's bin/, which
    // comes first on the logger's PATH (stand-ins for host commands).
    void install_command(const std::string& name, const std::string& script);
    // The console's terminal settings as they are now.
    struct termios console_settings() const;
    // Reads the console until needle has appeared after offset `from`.
    bool wait_console(const std::string& needle, int timeout_ms = 5000, size_t from = 0);
    // Waits until the file under the scratch directory holds exactly / at least this.
    bool wait_file(const std::string& rel, const std::string& expected, int timeout_ms = 5000);
    bool wait_file_contains(const std::string& rel, const std::string& needle, int timeout_ms = 5000);
    // Reads what the console has printed, waiting at most timeout_ms for it.
    void read_console(int timeout_ms) { pump(timeout_ms); }
    // Stops reading the console (as a console stopped with Ctrl-S, or a
    // terminal nobody reads) until called again with false.
    void hold_console(bool held) { console_held_ = held; }
    // Reads what the kept standard output pipe holds, for up to timeout_ms
    // or until needle has appeared in what was read.
    std::string read_stdout_pipe(const std::string& needle, int timeout_ms);
    // Steps the clock of a logger started with clock_file_time.
    void set_clock(const std::string& when);
    // Changes what the kernel says of the system clock (see clock_sync).
    void set_clock_sync(const std::string& state);
    // Waits for the process to end; returns its exit status, or -1 on timeout.
    int wait_exit(int timeout_ms = 5000);
    bool running();
    void signal(int sig);
    // A power cut: the logger and every process working in its directory
    // (the commands it started, one of them perhaps still holding a copy of
    // its descriptors, and so its locks, until it runs) end at once. Returns
    // the logger's exit status.
    int power_cut();
    // Where the logger and its children wait (their stacks), for a test that
    // finds it stuck.
    std::string where_it_waits() const;

    std::string file(const std::string& rel) const;
    std::string stderr_text() const { return file("stderr.txt"); }
    const std::string& console() const { return console_; }
    const std::string& dir() const { return dir_; }
    const std::string& serial_name() const { return serial_name_; }
    int serial_master() const { return serial_master_; }
    pid_t pid() const { return pid_; }

    // Replaces the serial pseudo-terminal by a fresh one (the old one is closed).
    void new_serial_line();

   private:
    void pump(int timeout_ms);

    std::string dir_;
    std::string serial_name_;
    int serial_master_ = -1;
    int serial_slave_ = -1;
    int console_master_ = -1;
    int console_slave_ = -1;  // kept open so that the settings outlive the logger
    int silent_pipe_ = -1;    // write end of the pipe given as standard input
    int stdout_pipe_ = -1;    // read end of a kept standard output pipe
    bool console_held_ = false;
    pid_t pid_ = -1;
    int exit_status_ = -1;
    bool own_clock_session_ = false;
    void end_clock_session();
    std::string console_;
};

// Whether a process is still there (one that ended unwaited-for is not).
bool alive(pid_t pid);

// Today's file names for a date given as yyyymmdd.
std::string status_path(const std::string& yyyymmdd);
std::string message_path(const std::string& yyyymmdd);
