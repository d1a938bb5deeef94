#include "e2e/harness.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <pwd.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

void set_cloexec(int fd) { fcntl(fd, F_SETFD, FD_CLOEXEC); }

// One faketime wrapper kept alive for the whole run: processes started with
// its FAKETIME_SHARED leave nothing behind in /dev/shm. Its child waits for
// the end of a pipe that only this process holds, so however this process
// ends, the wrapper sees its child finish and removes its shared memory.
struct FaketimeSession {
    pid_t wrapper = -1;
    int hold = -1;  // write end of the pipe the wrapper's child waits on
    std::string shared;
    std::string preload;

    bool ensure() {
        if (wrapper > 0) return true;
        int out[2], in[2];
        if (pipe(out) != 0 || pipe(in) != 0) return false;
        pid_t pid = fork();
        if (pid == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 2);  // its "Caught ..." lines
            for (int fd : {in[0], in[1], out[0], out[1], null}) close(fd);
            execlp("faketime", "faketime", "-f", "@2000-01-01 00:00:00", "sh", "-c",
                   "echo \"$FAKETIME_SHARED|$LD_PRELOAD\"; exec cat >/dev/null", (char*)nullptr);
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        hold = in[1];
        set_cloexec(hold);
        wrapper = pid;
        std::string line;
        char c;
        while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
        close(out[0]);
        size_t bar = line.find('|');
        if (bar == std::string::npos) return false;
        shared = line.substr(0, bar);
        preload = line.substr(bar + 1);
        return !shared.empty();
    }

    ~FaketimeSession() {
        if (wrapper <= 0) return;
        close(hold);
        waitpid(wrapper, nullptr, 0);
    }
};

FaketimeSession faketime_session;

std::string read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void open_pty(int* master, int* slave, std::string* name, bool raw) {
    char buf[256];
    ASSERT_EQ(openpty(master, slave, buf, nullptr, nullptr), 0) << strerror(errno);
    *name = buf;
    if (raw) {
        struct termios t;
        tcgetattr(*slave, &t);
        cfmakeraw(&t);
        tcsetattr(*slave, TCSANOW, &t);
    }
    set_cloexec(*master);
    set_cloexec(*slave);
}

// The processes that hold path open, and what they are.
std::string holders_of(const std::string& path) {
    std::string out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/proc", ec)) {
        std::string pid = e.path().filename();
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        std::error_code fd_ec;
        for (const auto& fd : std::filesystem::directory_iterator(e.path() / "fd", fd_ec)) {
            std::error_code link_ec;
            if (std::filesystem::read_symlink(fd.path(), link_ec).string() != path) continue;
            std::string cmdline = read_all("/proc/" + pid + "/cmdline");
            std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
            out += "process " + pid + " (" + cmdline + ") holds " + path + "\n";
        }
    }
    return out;
}

// What a process and its children wait in, for a test that finds one stuck.
std::string where_it_waits(pid_t pid) {
    std::string out;
    std::string tree = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children";
    std::vector<pid_t> pids = {pid};
    std::ifstream children(tree);
    for (pid_t child; children >> child;) pids.push_back(child);
    for (pid_t p : pids) {
        std::string proc = "/proc/" + std::to_string(p);
        std::string cmdline = read_all(proc + "/cmdline");
        std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
        out += "process " + std::to_string(p) + " (" + cmdline + ") waits in " + read_all(proc + "/wchan") +
               "\n" + read_all(proc + "/stack");
        if (access("/usr/bin/gdb", X_OK) != 0) continue;
        std::string cmd =
            "gdb -p " + std::to_string(p) + " -batch -ex 'thread apply all bt' 2>&1 | grep '^#'";
        if (FILE* gdb = popen(cmd.c_str(), "r")) {
            char line[512];
            while (fgets(line, sizeof line, gdb)) out += line;
            pclose(gdb);
        }
    }
    return out;
}

}  // namespace

std::string status_path(const std::string& d) { return "data/KES" + d + ".txt"; }

std::string message_path(const std::string& d) { return "data/MESKES" + d + ".txt"; }

bool alive(pid_t pid) {
    std::string stat = read_all("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    return paren != std::string::npos && stat.size() > paren + 2 && stat[paren + 2] != 'Z';
}

Logger::Logger() {
    char tmpl[] = "/tmp/kestlog-e2e-XXXXXX";
    if (mkdtemp(tmpl)) dir_ = tmpl;
    open_pty(&serial_master_, &serial_slave_, &serial_name_, true);  // a line without echo or editing
}

// The processes working in dir or below it.
static std::vector<pid_t> working_in(const std::string& dir) {
    std::vector<pid_t> pids;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/proc", ec)) {
        std::string name = e.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::string cwd = std::filesystem::read_symlink(e.path() / "cwd", ec).string();
        if (!ec && (cwd == dir || cwd.rfind(dir + "/", 0) == 0) && alive(std::stoi(name)))
            pids.push_back(std::stoi(name));
    }
    return pids;
}

// Commands the logger started in process groups of their own (a hung mail
// stand-in) outlive a logger killed first: anything still working in the
// scratch directory is ended with it, and waited for, so that none of them
// writes there while the directory is removed.
static void end_leftovers(const std::string& dir) {
    auto deadline = Clock::now() + std::chrono::seconds(10);
    for (std::vector<pid_t> pids; !(pids = working_in(dir)).empty();) {
        if (Clock::now() >= deadline) {
            fprintf(stderr, "still working in %s after SIGKILL: process %d\n", dir.c_str(), pids[0]);
            return;
        }
        for (pid_t pid : pids) kill(pid, SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Removes the scratch directory; what cannot be removed is said, not thrown
// (an exception here would end every test of the run).
static void remove_scratch(const std::string& dir) {
    std::error_code ec;
    for (int tries = 0; tries < 5; tries++) {
        std::filesystem::remove_all(dir, ec);
        if (!ec) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    fprintf(stderr, "cannot remove %s: %s\n", dir.c_str(), ec.message().c_str());
}

Logger::~Logger() {
    if (pid_ > 0 && exit_status_ < 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        end_clock_session();
    }
    if (!dir_.empty()) end_leftovers(dir_);
    if (testing::Test::HasFailure()) {
        fprintf(stderr, "--- console ---\n%s\n--- stderr ---\n%s\n--- dir %s ---\n", console_.c_str(),
                stderr_text().c_str(), dir_.c_str());
    } else if (!dir_.empty()) {
        remove_scratch(dir_);
    }
    for (int fd :
         {serial_master_, serial_slave_, console_master_, console_slave_, silent_pipe_, stdout_pipe_}) {
        if (fd >= 0) close(fd);
    }
}

// libfaketime leaves a session's files behind, named after the process that
// made it; a later process of the same pid could not start.
void Logger::end_clock_session() {
    if (!own_clock_session_) return;
    own_clock_session_ = false;
    for (const char* name : {"/dev/shm/faketime_shm_", "/dev/shm/sem.faketime_sem_"})
        unlink((name + std::to_string(pid_)).c_str());
}

void Logger::new_serial_line() {
    close(serial_master_);
    close(serial_slave_);
    open_pty(&serial_master_, &serial_slave_, &serial_name_, true);  // a line without echo or editing
}

void Logger::start(const LoggerOptions& opts, bool wait_ready) {
    // Started again in the same directory once the last run has ended: a
    // fresh console for the new run.
    for (int* fd : {&console_master_, &console_slave_}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
    console_.clear();
    exit_status_ = -1;
    own_clock_session_ = opts.own_clock_session && (!opts.faketime.empty() || !opts.clock_file_time.empty());
    if (opts.write_parfile) {
        std::string par = opts.parfile;
        for (size_t at; (at = par.find("@PTY@")) != std::string::npos;) par.replace(at, 5, serial_name_);
        std::ofstream(dir_ + "/kestlog.par", std::ios::binary) << par;
    }
    int console_slave;
    std::string console_name;
    open_pty(&console_master_, &console_slave, &console_name, false);
    // Byte-exact output: no newline translation on the console.
    struct termios t;
    tcgetattr(console_slave, &t);
    t.c_oflag &= ~OPOST;
    tcsetattr(console_slave, TCSANOW, &t);

    std::vector<std::string> env_strings = {"PATH=" + dir_ + "/bin:/usr/local/bin:/usr/bin:/bin", "TZ=UTC",
                                            "HOME=" + dir_, "TERM=dumb"};
    // Sanitizer builds are configured from the test's own environment.
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
        if (const char* v = getenv(name)) env_strings.push_back(std::string(name) + "=" + v);
    }
    std::string preload;
    if (!opts.clock_sync.empty()) {
        set_clock_sync(opts.clock_sync);
        env_strings.push_back("KESTTEST_CLOCK_SYNC=" + dir_ + "/clocksync.txt");
        preload = CLOCKSYNC_LIB;
        if (!opts.run_as.empty()) {
            // The build tree may lie where that user cannot reach it.
            preload = dir_ + "/clocksync.so";
            std::filesystem::copy_file(CLOCKSYNC_LIB, preload,
                                       std::filesystem::copy_options::overwrite_existing);
        }
    }
    if (!opts.faketime.empty() || !opts.clock_file_time.empty()) {
        ASSERT_TRUE(faketime_session.ensure()) << "faketime is not installed";
        preload += (preload.empty() ? "" : " ") + faketime_session.preload;
        if (!opts.own_clock_session) env_strings.push_back("FAKETIME_SHARED=" + faketime_session.shared);
        // libfaketime fakes stat() times under a semaphore that all processes
        // of the session share: a mail command killed at its time-out while
        // it holds it would stop every clock of the session, the logger's
        // too. Nothing here reads file times.
        env_strings.push_back("NO_FAKE_STAT=1");
    }
    if (!opts.faketime.empty()) env_strings.push_back("FAKETIME=" + opts.faketime);
    if (!opts.clock_file_time.empty()) {
        // Read anew at every call; the monotonic clock stays real, so that a
        // step of the file is a step of the wall clock alone.
        set_clock(opts.clock_file_time);
        env_strings.push_back("FAKETIME_TIMESTAMP_FILE=" + dir_ + "/faketime.txt");
        env_strings.push_back("FAKETIME_NO_CACHE=1");
        env_strings.push_back("FAKETIME_DONT_FAKE_MONOTONIC=1");
    }
    if (!preload.empty()) env_strings.push_back("LD_PRELOAD=" + preload);
    for (const std::string& e : opts.env) env_strings.push_back(e);
    env_strings.push_back("WATCHDOG_PID=");  // filled in by the child, which knows its pid
    std::vector<char*> env;
    for (auto& s : env_strings) env.push_back(s.data());
    if (!opts.watchdog_pid) env.pop_back();
    env.push_back(nullptr);

    int out_pipe[2] = {-1, -1};
    bool out_to_pipe = opts.stdout_to_pipe || opts.keep_stdout_pipe;
    if (out_to_pipe) {
        ASSERT_EQ(pipe(out_pipe), 0);
    }
    std::string err_path = dir_ + "/stderr.txt";
    int in_pipe[2] = {-1, -1};
    if (opts.input == LoggerOptions::Input::SilentPipe || opts.input == LoggerOptions::Input::EndedPipe) {
        ASSERT_EQ(pipe(in_pipe), 0);
        silent_pipe_ = in_pipe[1];
        set_cloexec(silent_pipe_);
    }
    if (opts.input == LoggerOptions::Input::EndedPipe) {
        close(silent_pipe_);
        silent_pipe_ = -1;
    }

    struct passwd* user = nullptr;
    if (!opts.run_as.empty()) {
        user = getpwnam(opts.run_as.c_str());
        ASSERT_NE(user, nullptr) << "no user " << opts.run_as;
        if (opts.give_dir) {
            ASSERT_EQ(chown(dir_.c_str(), user->pw_uid, user->pw_gid), 0) << strerror(errno);
        }
        // The build tree may lie where that user cannot reach it.
        std::filesystem::copy_file(KESTLOG_BIN, dir_ + "/kestlog");
    }
    std::string program = user ? dir_ + "/kestlog" : KESTLOG_BIN;

    pid_ = fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive a test run that was killed
        setsid();
        ioctl(console_slave, TIOCSCTTY, 0);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in_pipe[0] >= 0)
            dup2(in_pipe[0], 0);
        else if (opts.input == LoggerOptions::Input::Null)
            dup2(open("/dev/null", O_RDONLY), 0);
        else if (opts.input == LoggerOptions::Input::Zero)
            dup2(open("/dev/zero", O_RDONLY), 0);
        else
            dup2(console_slave, 0);
        dup2(out_to_pipe ? out_pipe[1] : console_slave, 1);
        dup2(err, 2);
        if (opts.close_std_fds) {
            close(0);
            close(1);
            close(2);
        }
        if (chdir(dir_.c_str()) != 0) _exit(126);
        if (opts.file_size_limit != RLIM_INFINITY) {
            struct rlimit rl = {opts.file_size_limit, opts.file_size_limit};
            setrlimit(RLIMIT_FSIZE, &rl);
        }
        ::signal(SIGPIPE, SIG_DFL);
        if (user && (setgroups(opts.groups.size(), opts.groups.data()) != 0 || setgid(user->pw_gid) != 0 ||
                     setuid(user->pw_uid) != 0)) {
            _exit(125);
        }
        // A change of user cleared the parent-death signal: a logger of a
        // test run that was killed would live on, and read a later run's lines.
        if (user) prctl(PR_SET_PDEATHSIG, SIGKILL);
        std::string watchdog_pid = "WATCHDOG_PID=" + std::to_string(getpid());
        if (opts.watchdog_pid) env[env.size() - 2] = watchdog_pid.data();
        std::vector<std::string> words = {"kestlog"};
        if (!opts.strace.empty())
            words = {"/usr/bin/strace",
                     "-f",
                     "-y",
                     "-qq",
                     "-e",
                     "signal=none",
                     "-e",
                     "trace=" + opts.strace,
                     "-o",
                     dir_ + "/strace.txt",
                     program};
        words.insert(words.end(), opts.args.begin(), opts.args.end());
        std::vector<char*> argv;
        for (std::string& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        execve(opts.strace.empty() ? program.c_str() : argv[0], argv.data(), env.data());
        _exit(127);
    }
    console_slave_ = console_slave;
    if (in_pipe[0] >= 0) close(in_pipe[0]);
    if (opts.stdout_to_pipe) {
        close(out_pipe[1]);
        close(out_pipe[0]);  // nobody reads: the logger's output meets a broken pipe
    } else if (opts.keep_stdout_pipe) {
        close(out_pipe[1]);
        stdout_pipe_ = out_pipe[0];
        set_cloexec(stdout_pipe_);
    }
    if (wait_ready && !opts.close_std_fds && !out_to_pipe) {
        // Ready, or ended: a logger that ended is said at once, with who
        // holds its lock while that may still be seen.
        const std::string ready = "Awaiting data and/or keyboard input (i.e. type 'help')\n";
        auto deadline = Clock::now() + std::chrono::seconds(10);
        while (console_.find(ready) == std::string::npos && running() && Clock::now() < deadline) pump(20);
        if (console_.find(ready) == std::string::npos) {
            std::string holders = holders_of(dir_ + "/kestlog.lock");
            FAIL() << (running() ? "logger did not start\n" + ::where_it_waits(pid_)
                                 : "logger ended with status " + std::to_string(exit_status_) + "\n")
                   << holders;
        }
    }
}

void Logger::pump(int timeout_ms) {
    if (console_master_ < 0 || console_held_) {
        std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
        return;
    }
    struct pollfd p = {console_master_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return;
    char buf[4096];
    ssize_t n = read(console_master_, buf, sizeof buf);
    if (n > 0) {
        console_.append(buf, static_cast<size_t>(n));
    } else {
        // The logger and its children are gone: nothing more will come.
        std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
    }
}

bool Logger::wait_console(const std::string& needle, int timeout_ms, size_t from) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (console_.find(needle, from) == std::string::npos) {
        if (Clock::now() >= deadline) return false;
        pump(20);
    }
    return true;
}

bool Logger::wait_file(const std::string& rel, const std::string& expected, int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (file(rel) != expected) {
        if (Clock::now() >= deadline) return false;
        pump(20);
    }
    return true;
}

bool Logger::wait_file_contains(const std::string& rel, const std::string& needle, int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (file(rel).find(needle) == std::string::npos) {
        if (Clock::now() >= deadline) return false;
        pump(20);
    }
    return true;
}

int Logger::wait_exit(int timeout_ms) {
    if (exit_status_ >= 0) return exit_status_;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int status;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            end_clock_session();
            pump(50);  // collect the last output
            return exit_status_;
        }
        if (Clock::now() >= deadline) return -1;
        pump(20);
    }
}

bool Logger::running() { return wait_exit(0) < 0; }

std::string Logger::where_it_waits() const { return ::where_it_waits(pid_); }

void Logger::signal(int sig) { kill(pid_, sig); }

int Logger::power_cut() {
    kill(pid_, SIGKILL);
    end_leftovers(dir_);
    return wait_exit();
}

void Logger::write_serial(const std::string& bytes) {
    // The logger may be busy printing what it read: keep reading the console
    // meanwhile, or both sides could wait on each other for ever.
    auto deadline = Clock::now() + std::chrono::seconds(30);
    size_t done = 0;
    while (done < bytes.size()) {
        if (Clock::now() >= deadline) {
            ADD_FAILURE() << "serial line not read: " << done << " of " << bytes.size() << " bytes written";
            return;
        }
        struct pollfd p[2] = {{serial_master_, POLLOUT, 0},
                              {console_held_ ? -1 : console_master_, POLLIN, 0}};
        if (poll(p, 2, 100) <= 0) continue;
        if (p[1].revents & POLLIN) pump(0);
        if (!(p[0].revents & POLLOUT)) continue;
        size_t room = std::min<size_t>(bytes.size() - done, 4096);  // a full write would block
        ssize_t n = write(serial_master_, bytes.data() + done, room);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            ADD_FAILURE() << "write to serial line: " << strerror(errno);
            return;
        }
        done += static_cast<size_t>(n);
    }
}

std::string Logger::file(const std::string& rel) const { return read_all(dir_ + "/" + rel); }

std::string Logger::read_stdout_pipe(const std::string& needle, int timeout_ms) {
    std::string text;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (Clock::now() < deadline && (needle.empty() || text.find(needle) == std::string::npos)) {
        struct pollfd p = {stdout_pipe_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        char buf[65536];
        ssize_t n = read(stdout_pipe_, buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    return text;
}

void Logger::set_clock(const std::string& when) {
    std::string path = dir_ + "/faketime.txt";
    // An offset from the real clock ("+600") steps by exactly that much; a
    // moment starts the clock there anew.
    std::ofstream(path + ".new") << (when[0] == '+' || when[0] == '-' ? "" : "@") << when << "\n";
    std::filesystem::rename(path + ".new", path);  // never read half-written
}

void Logger::set_clock_sync(const std::string& state) {
    std::string path = dir_ + "/clocksync.txt";
    std::ofstream(path + ".new") << state << "\n";
    std::filesystem::rename(path + ".new", path);
}

void Logger::type(const std::string& keys) {
    ASSERT_EQ(write(console_master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
}

void Logger::install_command(const std::string& name, const std::string& script) {
    std::filesystem::create_directories(dir_ + "/bin");
    std::string path = dir_ + "/bin/" + name;
    std::ofstream(path, std::ios::binary) << script;
    std::filesystem::permissions(path, std::filesystem::perms::owner_all |
                                           std::filesystem::perms::group_read |
                                           std::filesystem::perms::group_exec);
}

struct termios Logger::console_settings() const {
    struct termios t = {};
    EXPECT_EQ(tcgetattr(console_slave_, &t), 0) << strerror(errno);
    return t;
}
