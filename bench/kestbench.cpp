// kestbench: floods a pseudo-terminal with status packets and measures, side
// by side, the processor and wall time per MB of four readers of the line:
//   kestlog  the logger itself (on a clock 100 times fast, so that its
//            once-a-second pass does not throttle the flood);
//   floor    a minimal reader: reads the line in chunks and appends each
//            packet to a file with open, write and close, as the logger must;
//   synced   the floor, flushing its file to the disk (open, fdatasync,
//            close) as often as the logger does: once a pass, 100 a second;
//   cat      reads the line into one file.
// Each must store every packet; the exit status is 1 when one did not, or
// when a wait ran out (it says what it waited for and how far it got). Each
// run's figures are printed as they are measured. It refuses to run beside
// another kestlog, which could be reading a pseudo-terminal of the same
// number as one of the benchmark's.
// Then, on the real clock, the latency: packets sent one at a time at random
// moments, each timed from the write of its EOT to the moment its last byte
// is in the status file; and the logger's processor time while idle.
//
// usage: kestbench KESTLOG [MB [REPEATS]]   run in a scratch directory; MB
// defaults to 20, REPEATS to 3, and each figure is the median of the repeats
//        kestbench --latency KESTLOG        the latency and idle figures only
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench.h"
#include "kestsim.h"

namespace {

constexpr size_t MB = 1000000;
constexpr int READY_TIMEOUT_S = 20;                  // for a reader to open its line
constexpr int STORE_TIMEOUT_S = 60;                  // for a reader to store the whole flood
constexpr int END_TIMEOUT_S = 10;                    // for a reader to end once killed
constexpr double AIM = 1.1;                          // kestlog's CPU time per MB against the synced floor's
constexpr int CLOCK_RATE = 100;                      // the logger's fake clock against the real one
constexpr int SYNC_INTERVAL_MS = 1000 / CLOCK_RATE;  // the logger's pass, and its sync, in real time

struct Line {
    int master = -1;
    int slave = -1;
    std::string path;
};

struct Result {
    const char* name;
    double cpu_s = 0;
    double wall_s = 0;
    size_t stored_bytes = 0;
    bool complete = false;
};

// A wait that ran out: what it waited for and how far it got, then the end
// (the processes started are ended at exit).
[[noreturn]] void gave_up(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void gave_up(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    fputs("kestbench: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
    exit(1);
}

Line raw_line() {
    Line l;
    char name[128];
    struct termios raw;
    cfmakeraw(&raw);
    if (openpty(&l.master, &l.slave, name, &raw, nullptr) != 0) {
        perror("kestbench: openpty");
        exit(2);
    }
    l.path = name;
    // Written with poll and a deadline: a reader that stopped reading must
    // not leave the benchmark waiting for ever on a full line.
    fcntl(l.master, F_SETFL, O_NONBLOCK);
    return l;
}

// Status packets as the instrument sends them, fault word 0000, about mb MB.
std::string flood(size_t mb, size_t* packets) {
    std::mt19937 rng(1);
    Reading r = first_reading();
    time_t t = 1434445200;  // 2015-06-16 09:00 UTC
    struct tm clock;
    gmtime_r(&t, &clock);
    std::string bytes;
    bytes.reserve(mb * MB + SIM_STATUS_LEN);
    *packets = 0;
    while (bytes.size() < mb * MB) {
        next_reading(r, rng);
        bytes += status_packet(1, clock, r, "0000");
        ++*packets;
    }
    return bytes;
}

double cpu_seconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string field;
    std::getline(in, field, ')');  // past the command name
    double ticks = 0;
    for (int i = 3; in >> field && i <= 15; i++) {
        if (i >= 14) ticks += std::stod(field);  // utime, stime
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

off_t size_of(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

std::string text_of(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The first running process (other than this one) whose name is kestlog,
// or 0. One that ended (a zombie) holds nothing.
pid_t other_kestlog() {
    DIR* proc = opendir("/proc");
    pid_t found = 0;
    for (struct dirent* e; proc && !found && (e = readdir(proc));) {
        pid_t pid = static_cast<pid_t>(atoi(e->d_name));
        std::string dir = "/proc/" + std::to_string(pid);
        std::string stat = text_of(dir + "/stat");
        size_t paren = stat.rfind(')');
        bool running = paren != std::string::npos && stat.size() > paren + 2 && stat[paren + 2] != 'Z';
        if (pid > 0 && pid != getpid() && running && text_of(dir + "/comm") == "kestlog\n") found = pid;
    }
    if (proc) closedir(proc);
    return found;
}

// The floor: nothing but reading and one open/write/close per packet; with
// sync_ms, the file is also flushed to the disk once that long has passed,
// as the logger does at the end of each pass that stored something.
[[noreturn]] void floor_reader(const char* line, const char* out, int sync_ms) {
    int fd = open(line, O_RDONLY | O_NOCTTY);
    if (fd < 0) _exit(1);
    std::string pending;
    static char buf[65536];
    auto synced = std::chrono::steady_clock::now();
    for (;;) {
        if (sync_ms > 0 && std::chrono::steady_clock::now() - synced >= std::chrono::milliseconds(sync_ms)) {
            int o = open(out, O_RDONLY | O_CLOEXEC);
            if (o >= 0 && fdatasync(o) != 0) _exit(1);
            if (o >= 0) close(o);
            synced = std::chrono::steady_clock::now();
        }
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) _exit(0);
        pending.append(buf, static_cast<size_t>(n));
        size_t start = 0;
        for (size_t eot; (eot = pending.find(static_cast<char>(EOT), start)) != std::string::npos;
             start = eot + 1) {
            int o = open(out, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
            if (o < 0 || write(o, pending.data() + start, eot + 1 - start) < 0) _exit(1);
            close(o);
        }
        pending.erase(0, start);
    }
}

// Runs argv in dir with standard output into out and no standard input.
pid_t spawn(const std::vector<std::string>& argv, const std::string& dir, const std::string& out) {
    pid_t pid = bench::fork_started();
    if (pid != 0) return pid;
    if (chdir(dir.c_str()) != 0) _exit(127);
    int in = open("/dev/null", O_RDONLY);
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int e = open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(in, 0);
    dup2(o, 1);
    dup2(e, 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

// Waits until check() holds, at most timeout_s; says what it waited for
// and ends the benchmark when it does not.
template <typename Check>
void wait_for(Check check, int timeout_s, const char* what) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
    while (!check()) {
        if (std::chrono::steady_clock::now() >= deadline) gave_up("%s: not after %d s", what, timeout_s);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// The logger runs under the faketime wrapper: the process to measure is the
// wrapper's child, once it is kestlog.
pid_t child_of(pid_t parent) {
    pid_t child = 0;
    wait_for(
        [&] {
            std::ifstream in("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) +
                             "/children");
            return in >> child && text_of("/proc/" + std::to_string(child) + "/comm") == "kestlog\n";
        },
        READY_TIMEOUT_S, "kestlog started under faketime");
    return child;
}

// Whether process pid holds path open.
bool holds_open(pid_t pid, const std::string& path) {
    std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = opendir(fds.c_str());
    bool found = false;
    for (struct dirent* e; d && !found && (e = readdir(d));) {
        char target[256];
        ssize_t n = readlink((fds + "/" + e->d_name).c_str(), target, sizeof target - 1);
        found = n > 0 && path.compare(0, std::string::npos, target, static_cast<size_t>(n)) == 0;
    }
    if (d) closedir(d);
    return found;
}

// Writes all of bytes to the line, at most STORE_TIMEOUT_S; a reader that
// stops reading ends the benchmark with how much the line took.
void write_all(int fd, const std::string& bytes, const char* reader) {
    auto began = std::chrono::steady_clock::now();
    auto deadline = began + std::chrono::seconds(STORE_TIMEOUT_S);
    for (size_t done = 0; done < bytes.size();) {
        if (std::chrono::steady_clock::now() >= deadline)
            gave_up("%s read %zu of %zu bytes from the line in %d s", reader, done, bytes.size(),
                    STORE_TIMEOUT_S);
        struct pollfd p = {fd, POLLOUT, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) gave_up("write to the line: %s", strerror(errno));
        done += static_cast<size_t>(n);
    }
}

// Sends the flood, waits until `stored` holds all of it, and measures the
// processor time `measured` spent meanwhile.
Result measure(const char* name, pid_t measured, const Line& line, const std::string& bytes,
               const std::string& stored) {
    Result r{name};
    double before = cpu_seconds(measured);
    auto began = std::chrono::steady_clock::now();
    write_all(line.master, bytes, name);
    auto deadline = began + std::chrono::seconds(STORE_TIMEOUT_S);
    while (static_cast<size_t>(size_of(stored)) < bytes.size()) {
        if (std::chrono::steady_clock::now() >= deadline)
            gave_up("%s stored %lld of %zu bytes in %d s", name, static_cast<long long>(size_of(stored)),
                    bytes.size(), STORE_TIMEOUT_S);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    r.cpu_s = cpu_seconds(measured) - before;
    r.wall_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    r.stored_bytes = static_cast<size_t>(size_of(stored));
    r.complete = r.stored_bytes == bytes.size();
    printf("  %-8s %8.2f CPU s %8.2f wall s  %zu of %zu bytes\n", name, r.cpu_s, r.wall_s, r.stored_bytes,
           bytes.size());
    return r;
}

// Ends the reader (and the wrapper it runs under) and closes its line.
void finish(pid_t pid, pid_t wrapper, const Line& line) {
    // The faketime wrapper ends by itself once its child is gone, and only
    // then removes its shared memory; bench::end removes what one that had
    // to be killed left.
    kill(pid, SIGKILL);
    int status;
    struct rusage ru;
    bench::wait_ended(wrapper, END_TIMEOUT_S, "a reader killed", &status, &ru);
    close(line.master);
    close(line.slave);
}

// The status file of a date in a logger's working directory.
std::string status_file(const std::string& dir, int date) {
    char name[64];
    daily_file_name(name, sizeof name, DailyFile::Status, date);
    return dir + "/data/" + name;
}

// Starts kestlog in dir on the line (under faketime when clock is given),
// and waits until it says it is ready. Returns the process to measure.
pid_t start_kestlog(const std::string& kestlog, const std::string& dir, const std::string& clock,
                    pid_t* wrapper) {
    std::vector<std::string> argv = {kestlog};
    if (!clock.empty()) argv = {"faketime", "-f", clock, kestlog};
    *wrapper = spawn(argv, dir, "console.txt");
    pid_t pid = clock.empty() ? *wrapper : child_of(*wrapper);
    wait_for([&] { return text_of(dir + "/console.txt").find("Awaiting data") != std::string::npos; },
             READY_TIMEOUT_S, "kestlog ready (its console.txt)");
    return pid;
}

Result bench_kestlog(const std::string& kestlog, const std::string& bytes) {
    Line line = raw_line();
    std::string dir = "kestlog";
    mkdir(dir.c_str(), 0755);
    const std::string file = status_file(dir, 20150616);
    unlink(file.c_str());  // a repeat measures a fresh file
    std::ofstream(dir + "/kestlog.par") << "serial_port=" << line.path << ",57600,8,N,1\nkessendmail=N\n";
    pid_t wrapper;
    pid_t pid = start_kestlog(kestlog, dir, "@2015-06-16 00:00:10 x" + std::to_string(CLOCK_RATE), &wrapper);
    Result r = measure("kestlog", pid, line, bytes, file);
    finish(pid, wrapper, line);
    return r;
}

Result bench_floor(const std::string& bytes, const char* name, int sync_ms) {
    Line line = raw_line();
    std::string out = std::string(name) + ".txt";
    unlink(out.c_str());
    pid_t pid = bench::fork_started();
    if (pid == 0) floor_reader(line.path.c_str(), out.c_str(), sync_ms);
    wait_for([&] { return holds_open(pid, line.path); }, READY_TIMEOUT_S, "the floor reader's line open");
    Result r = measure(name, pid, line, bytes, out);
    finish(pid, pid, line);
    return r;
}

Result bench_cat(const std::string& bytes) {
    Line line = raw_line();
    pid_t pid = spawn({"cat", line.path}, ".", "cat.txt");
    wait_for([&] { return holds_open(pid, line.path); }, READY_TIMEOUT_S, "cat's line open");
    Result r = measure("cat", pid, line, bytes, "cat.txt");
    finish(pid, pid, line);
    return r;
}

// The median of each reader's repeats, interleaved so that a busy spell of
// the machine hits them alike; complete only when every repeat stored it all.
Result median(std::vector<Result> runs) {
    std::sort(runs.begin(), runs.end(), [](const Result& a, const Result& b) { return a.cpu_s < b.cpu_s; });
    Result m = runs[runs.size() / 2];
    for (const Result& r : runs) {
        if (!r.complete) m = r;
    }
    return m;
}

constexpr int LATENCY_PACKETS = 1000;
constexpr int LATENCY_GAP_MAX_MS = 20;  // packets come at random moments this far apart at most
constexpr int LATENCY_TIMEOUT_MS = 5000;
constexpr int IDLE_S = 10;

// Waits until path holds at least size bytes, woken by the file's changes.
bool wait_size(int notify, const std::string& path, off_t size) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(LATENCY_TIMEOUT_MS);
    char events[4096];
    while (size_of(path) < size) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        struct pollfd p = {notify, POLLIN, 0};
        if (poll(&p, 1, 10) > 0) (void)!read(notify, events, sizeof events);
    }
    return true;
}

// The logger on the real clock: what a packet waits before it is in the
// file, and what the logger costs while nothing arrives.
int bench_latency(const std::string& kestlog) {
    Line line = raw_line();
    std::string dir = "latency";
    mkdir(dir.c_str(), 0755);
    std::ofstream(dir + "/kestlog.par") << "serial_port=" << line.path << ",9600,7,E,1\nkessendmail=N\n";
    time_t now = time(nullptr);
    struct tm today;
    localtime_r(&now, &today);
    std::string file =
        status_file(dir, (today.tm_year + 1900) * 10000 + (today.tm_mon + 1) * 100 + today.tm_mday);
    unlink(file.c_str());
    pid_t unused;
    pid_t pid = start_kestlog(kestlog, dir, "", &unused);
    int notify = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    inotify_add_watch(notify, file.c_str(), IN_MODIFY);

    std::mt19937 rng(7);
    std::uniform_int_distribution<int> gap(0, LATENCY_GAP_MAX_MS * 1000);
    Reading r = first_reading();
    std::vector<double> ms;
    off_t expected = size_of(file);
    for (int i = 0; i < LATENCY_PACKETS; i++) {
        std::this_thread::sleep_for(std::chrono::microseconds(gap(rng)));
        next_reading(r, rng);
        struct tm clock;
        gmtime_r(&now, &clock);
        std::string packet = status_packet(1, clock, r, "0000");
        expected += static_cast<off_t>(packet.size());
        auto sent = std::chrono::steady_clock::now();
        write_all(line.master, packet, "kestlog");
        if (!wait_size(notify, file, expected)) {
            fprintf(stderr, "kestbench: packet %d of %d not in %s after %d ms (%lld of %lld bytes)\n", i + 1,
                    LATENCY_PACKETS, file.c_str(), LATENCY_TIMEOUT_MS, static_cast<long long>(size_of(file)),
                    static_cast<long long>(expected));
            break;
        }
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - sent).count());
    }
    bool complete = ms.size() == LATENCY_PACKETS;
    std::sort(ms.begin(), ms.end());
    auto at = [&](double q) {
        return ms.empty() ? 0 : ms[std::min(ms.size() - 1, static_cast<size_t>(q * ms.size()))];
    };
    printf(
        "latency: %zu of %d packets, EOT written to last byte in the file: p50 %.2f ms, p99 %.2f ms, max "
        "%.2f ms%s\n",
        ms.size(), LATENCY_PACKETS, at(0.5), at(0.99), ms.empty() ? 0 : ms.back(),
        complete ? "" : "  INCOMPLETE");
    double cpu = cpu_seconds(pid);
    std::this_thread::sleep_for(std::chrono::seconds(IDLE_S));
    double idle = cpu_seconds(pid) - cpu;
    close(notify);
    finish(pid, pid, line);
    printf("idle: %.1f ms of CPU in %d s (%.3f %%)\n", idle * 1000, IDLE_S, idle * 100 / IDLE_S);
    return complete ? 0 : 1;
}

constexpr size_t NOISE_CHUNK = 64 * 1024;   // noise between two good packets
constexpr off_t NOISE_LOG_MAX = 20 * 1000;  // message log a megabyte of noise may write
constexpr int NOISE_TIMEOUT_S = 60;

// A megabyte of line noise (runs of SOH, of EOT, random bytes) with a good
// packet after each chunk: the message log must stay small, and every good
// packet be stored.
int bench_noise(const std::string& kestlog) {
    Line line = raw_line();
    std::string dir = "noise";
    mkdir(dir.c_str(), 0755);
    std::ofstream(dir + "/kestlog.par") << "serial_port=" << line.path << ",57600,8,N,1\nkessendmail=N\n";
    const std::string file = status_file(dir, 20150616);
    char name[64];
    daily_file_name(name, sizeof name, DailyFile::Messages, 20150616);
    const std::string log = dir + "/data/" + name;
    unlink(file.c_str());
    unlink(log.c_str());
    pid_t wrapper;
    // From just before a change of minute: the minute's record of the
    // failures not recorded one by one comes soon.
    pid_t pid = start_kestlog(kestlog, dir, "@2015-06-16 00:00:50", &wrapper);
    off_t log_before = size_of(log);
    std::mt19937 rng(11);
    std::string bytes, good;
    for (int i = 0; bytes.size() < MB; i++) {
        std::string chunk;
        if (i % 3 == 0) chunk.assign(NOISE_CHUNK, static_cast<char>(SOH));
        if (i % 3 == 1) chunk.assign(NOISE_CHUNK, static_cast<char>(EOT));
        if (i % 3 == 2) {
            for (size_t k = 0; k < NOISE_CHUNK; k++) chunk += static_cast<char>(rng() & 0xff);
            chunk += static_cast<char>(EOT);  // a random run may leave a packet open
        }
        std::string packet = "\x02 good packet " + std::to_string(i) + "\x04";
        bytes += chunk + packet;
        good += packet;
    }
    write_all(line.master, bytes, "kestlog");
    // The last good packet stored, and a minute's change for the last count.
    const std::string last = good.substr(good.rfind('\x02'));
    wait_for([&] { return text_of(file).find(last) != std::string::npos; }, NOISE_TIMEOUT_S,
             "the last good packet after the noise in the status file");
    wait_for([&] { return text_of(log).find(" were not recorded one by one\n") != std::string::npos; },
             NOISE_TIMEOUT_S, "the minute's record of the framing failures not recorded one by one");
    std::string stored = text_of(file);
    size_t found = 0, at = 0;
    for (size_t from = 0; (from = good.find('\x02', at)) != std::string::npos; at = from + 1) {
        size_t end = good.find('\x04', from);
        found += stored.find(good.substr(from, end - from + 1)) != std::string::npos;
    }
    size_t sent = static_cast<size_t>(std::count(good.begin(), good.end(), '\x02'));
    off_t written = size_of(log) - log_before;
    finish(pid, wrapper, line);
    printf(
        "noise: %.1f MB (SOH, EOT, random): %lld bytes of message log (aim: at most %lld), %zu of %zu good "
        "packets stored\n",
        static_cast<double>(bytes.size()) / MB, static_cast<long long>(written),
        static_cast<long long>(NOISE_LOG_MAX), found, sent);
    return written <= NOISE_LOG_MAX && found == sent ? 0 : 1;
}

std::string absolute(const char* path) {
    std::string p = path;
    char cwd[4096];
    if (p[0] != '/' && getcwd(cwd, sizeof cwd)) p = std::string(cwd) + "/" + p;
    return p;
}

}  // namespace

int main(int argc, char** argv) {
    bench::begin();
    signal(SIGPIPE, SIG_IGN);
    bool latency_only = argc == 3 && strcmp(argv[1], "--latency") == 0;
    if (!latency_only && (argc < 2 || argc > 4)) {
        fprintf(stderr, "usage: kestbench KESTLOG [MB [REPEATS]]\n       kestbench --latency KESTLOG\n");
        return 2;
    }
    if (pid_t other = other_kestlog()) {
        fprintf(stderr,
                "kestbench: another kestlog runs on this machine (process %d); it could read the benchmark's "
                "lines: end it first\n",
                static_cast<int>(other));
        return 1;
    }
    std::string kestlog = absolute(argv[latency_only ? 2 : 1]);
    if (latency_only) return bench_latency(kestlog);
    if (argc == 3 && strcmp(argv[2], "--noise") == 0) return bench_noise(kestlog);
    size_t mb = argc >= 3 ? strtoul(argv[2], nullptr, 10) : 20;
    if (mb == 0) mb = 1;
    int repeats = argc == 4 ? atoi(argv[3]) : 3;
    if (repeats < 1) repeats = 1;
    setenv("NO_FAKE_STAT", "1", 1);  // the logger's own work, not libfaketime's

    size_t packets = 0;
    std::string bytes = flood(mb, &packets);
    printf("flood: %zu status packets of %zu bytes, %.1f MB, through a pseudo-terminal\n", packets,
           SIM_STATUS_LEN, static_cast<double>(bytes.size()) / MB);
    std::vector<Result> runs[4];
    for (int i = 0; i < repeats; i++) {
        printf("run %d of %d:\n", i + 1, repeats);
        runs[0].push_back(bench_kestlog(kestlog, bytes));
        runs[1].push_back(bench_floor(bytes, "floor", 0));
        runs[2].push_back(bench_floor(bytes, "synced", SYNC_INTERVAL_MS));
        runs[3].push_back(bench_cat(bytes));
    }
    Result results[] = {median(runs[0]), median(runs[1]), median(runs[2]), median(runs[3])};

    double megabytes = static_cast<double>(bytes.size()) / MB;
    printf("%-8s %8s %10s %8s  %s (median of %d)\n", "reader", "CPU s", "CPU s/MB", "wall s", "stored",
           repeats);
    bool all = true;
    for (const Result& r : results) {
        printf("%-8s %8.2f %10.4f %8.2f  %zu of %zu bytes%s\n", r.name, r.cpu_s, r.cpu_s / megabytes,
               r.wall_s, r.stored_bytes, bytes.size(), r.complete ? "" : "  INCOMPLETE");
        all = all && r.complete;
    }
    auto ratio = [](double a, double b) { return b > 0 ? a / b : 0; };
    printf("syncing (synced / floor): CPU %.2f, wall %.2f\n", ratio(results[2].cpu_s, results[1].cpu_s),
           ratio(results[2].wall_s, results[1].wall_s));
    printf("kestlog / synced floor: %.2f (aim: at most %.1f)\n", ratio(results[0].cpu_s, results[2].cpu_s),
           AIM);
    all = bench_latency(kestlog) == 0 && all;
    all = bench_noise(kestlog) == 0 && all;
    return all ? 0 : 1;
}
