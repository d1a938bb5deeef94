// kestbench: floods a pseudo-terminal with status packets and measures, side
// by side, the processor and wall time per MB of four readers of the line:
//   kestlog  the logger itself (on a clock 100 times fast, so that its
//            once-a-second pass does not throttle the flood);
//   floor    a minimal reader: reads the line in chunks and appends each
//            packet to a file with open, write and close, as the logger must;
//   synced   the floor, flushing its file to the disk (open, fdatasync,
//            close) as often as the logger does: once a pass, 100 a second;
//   cat      reads the line into one file.
// Each must store every packet; the exit status is 1 when one did not.
// Then, on the real clock, the latency: packets sent one at a time at random
// moments, each timed from the write of its EOT to the moment its last byte
// is in the status file; and the logger's processor time while idle.
//
// usage: kestbench KESTLOG [MB [REPEATS]]   run in a scratch directory; MB
// defaults to 20, REPEATS to 3, and each figure is the median of the repeats
//        kestbench --latency KESTLOG        the latency and idle figures only
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
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "kestsim.h"

namespace {

constexpr size_t MB = 1000000;
constexpr int SETTLE_MS = 300;                       // for a reader to open its line
constexpr int STORE_TIMEOUT_S = 300;                 // for a reader to store the whole flood
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
    pid_t pid = fork();
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

// The logger runs under the faketime wrapper: the process to measure is the
// wrapper's child.
pid_t child_of(pid_t parent) {
    for (int i = 0; i < 200; i++) {
        std::ifstream in("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) + "/children");
        pid_t child = 0;
        if (in >> child && child > 0) return child;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return parent;
}

void write_all(int fd, const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            perror("kestbench: write to the line");
            return;
        }
        done += static_cast<size_t>(n);
    }
}

// Sends the flood, waits until `stored` holds all of it, and measures the
// processor time `measured` spent meanwhile.
Result measure(const char* name, pid_t measured, const Line& line, const std::string& bytes,
               const std::string& stored) {
    Result r{name};
    std::this_thread::sleep_for(std::chrono::milliseconds(SETTLE_MS));
    double before = cpu_seconds(measured);
    auto began = std::chrono::steady_clock::now();
    write_all(line.master, bytes);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(STORE_TIMEOUT_S);
    while (static_cast<size_t>(size_of(stored)) < bytes.size() &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    r.cpu_s = cpu_seconds(measured) - before;
    r.wall_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    r.stored_bytes = static_cast<size_t>(size_of(stored));
    r.complete = r.stored_bytes == bytes.size();
    return r;
}

// Ends the reader (and the wrapper it runs under) and closes its line.
void finish(pid_t pid, pid_t wrapper, const Line& line) {
    // The faketime wrapper ends by itself once its child is gone, and only
    // then removes its shared memory: a wrapper killed leaves it in /dev/shm,
    // where a later process of the same pid would fail to start.
    kill(pid, SIGKILL);
    waitpid(wrapper, nullptr, 0);
    close(line.master);
    close(line.slave);
}

// The status file of a date in a logger's working directory.
std::string status_file(const std::string& dir, int date) {
    char name[64];
    daily_file_name(name, sizeof name, DailyFile::Status, date);
    return dir + "/data/" + name;
}

Result bench_kestlog(const std::string& kestlog, const std::string& bytes) {
    Line line = raw_line();
    std::string dir = "kestlog";
    mkdir(dir.c_str(), 0755);
    const std::string file = status_file(dir, 20150616);
    unlink(file.c_str());  // a repeat measures a fresh file
    std::ofstream(dir + "/kestlog.par") << "serial_port=" << line.path << ",57600,8,N,1\nkessendmail=N\n";
    pid_t wrapper = spawn({"faketime", "-f", "@2015-06-16 00:00:10 x" + std::to_string(CLOCK_RATE), kestlog},
                          dir, "console.txt");
    pid_t pid = child_of(wrapper);
    Result r = measure("kestlog", pid, line, bytes, file);
    finish(pid, wrapper, line);
    return r;
}

Result bench_floor(const std::string& bytes, const char* name, int sync_ms) {
    Line line = raw_line();
    std::string out = std::string(name) + ".txt";
    unlink(out.c_str());
    pid_t pid = fork();
    if (pid == 0) floor_reader(line.path.c_str(), out.c_str(), sync_ms);
    Result r = measure(name, pid, line, bytes, out);
    finish(pid, pid, line);
    return r;
}

Result bench_cat(const std::string& bytes) {
    Line line = raw_line();
    pid_t pid = spawn({"cat", line.path}, ".", "cat.txt");
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
        if (poll(&p, 1, 10) > 0) (void)read(notify, events, sizeof events);
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
    pid_t pid = spawn({kestlog}, dir, "console.txt");
    for (int i = 0; i < 100 && access(file.c_str(), F_OK) != 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::this_thread::sleep_for(std::chrono::milliseconds(SETTLE_MS));
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
        write_all(line.master, packet);
        if (!wait_size(notify, file, expected)) break;
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - sent).count());
    }
    double cpu = cpu_seconds(pid);
    std::this_thread::sleep_for(std::chrono::seconds(IDLE_S));
    double idle = cpu_seconds(pid) - cpu;
    close(notify);
    finish(pid, pid, line);

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
    printf("idle: %.1f ms of CPU in %d s (%.3f %%)\n", idle * 1000, IDLE_S, idle * 100 / IDLE_S);
    return complete ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "--latency") == 0) {
        std::string kestlog = argv[2];
        if (kestlog[0] != '/') {
            char cwd[4096];
            if (getcwd(cwd, sizeof cwd)) kestlog = std::string(cwd) + "/" + kestlog;
        }
        signal(SIGPIPE, SIG_IGN);
        return bench_latency(kestlog);
    }
    if (argc < 2 || argc > 4) {
        fprintf(stderr, "usage: kestbench KESTLOG [MB [REPEATS]]\n");
        return 2;
    }
    std::string kestlog = argv[1];
    if (kestlog[0] != '/') {
        char cwd[4096];
        if (getcwd(cwd, sizeof cwd)) kestlog = std::string(cwd) + "/" + kestlog;
    }
    size_t mb = argc >= 3 ? strtoul(argv[2], nullptr, 10) : 20;
    if (mb == 0) mb = 1;
    int repeats = argc == 4 ? atoi(argv[3]) : 3;
    if (repeats < 1) repeats = 1;
    signal(SIGPIPE, SIG_IGN);
    setenv("NO_FAKE_STAT", "1", 1);  // the logger's own work, not libfaketime's

    size_t packets = 0;
    std::string bytes = flood(mb, &packets);
    printf("flood: %zu status packets of %zu bytes, %.1f MB, through a pseudo-terminal\n", packets,
           SIM_STATUS_LEN, static_cast<double>(bytes.size()) / MB);
    std::vector<Result> runs[4];
    for (int i = 0; i < repeats; i++) {
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
    return all ? 0 : 1;
}
