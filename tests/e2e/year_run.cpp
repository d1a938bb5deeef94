// A year of a site in minutes: the logger as built, fed by kestsim, with the
// daily job and the archive job started when the shipped timers' calendars
// say, and an archive host (the gate and the sealer, as their package sets
// them up) behind a stand-in for ssh. The clock is a page every process
// reads (simclock_preload) that this bench moves to the next thing that
// happens: a packet, a timer, or an edge of the calendar. Each edge is
// entered a few minutes before it happens, with packets close together.
// The faults' days come from the seed; the same seed replays the same run.
//
// usage: year_run --build DIR --source DIR [--days N] [--zone ZONE] [--seed N] [--keep]
// Needs root (a mount and a time namespace of its own); exit 77 without.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <thread>

#include "e2e/year.h"

namespace fs = std::filesystem;

namespace {

constexpr long long DAY = 86400;
constexpr long long START_WALL = 1827619200;  // 2027-12-01 00:00:00 UTC: two turns of the year ahead
constexpr long long MONO_MARK_1 = 2147483;    // s: 2^31 ms, where a signed 32-bit count turns
constexpr long long MONO_MARK_2 = 4294967;    // s: 2^32 ms, where an unsigned one wraps
constexpr long long MONO_LEAD = 600;          // the run begins this long before the first mark
constexpr long long PACKET_EVERY = 600;       // s between packets on a quiet day
constexpr long long DENSE_EVERY = 20;         // ... and around an edge
constexpr long long DENSE_WINDOW = 300;       // s either side of an edge
constexpr long long BAD_EVERY = 60;           // a fault word a minute in a bad spell
constexpr long long BAD_SPELL = 90 * 60;
constexpr long long AWAY = 7 * DAY;  // the archive host unreachable
constexpr long long DISK_FULL = 3 * 3600;
constexpr int KEEP_DAYS = 30, COMPRESS_AFTER = 14, KEEP_REPORTS = 90;
constexpr const char* SITE_DISK = "size=64m,mode=0755";
constexpr int STORE_WAIT_MS = 10000;        // for a packet to be stored, real time
constexpr long long LINE_EVERY = 30 * DAY;  // the line unplugged and plugged in again
constexpr long long REPLUG = 10;            // s the line is away, twice the logger's retry

struct SimClock {
    volatile int64_t wall_ns;
    volatile int64_t mono_ns;
};

struct Options {
    std::string build, source, zone = "UTC";
    int days = 400;
    unsigned seed = 0;
    bool keep = false;
};

struct Timer {
    std::vector<long long> at;
    size_t next = 0;
    void seek(long long wall) { next = std::upper_bound(at.begin(), at.end(), wall) - at.begin(); }
    bool due(long long wall) const { return next < at.size() && wall >= at[next]; }
};

// --- the run ----------------------------------------------------------------------

enum class EdgeKind {
    Mark,
    LineLost,
    LeapSecond,
    SetBack,
    SetForward,
    ArchiveAway,
    ArchiveBack,
    DiskFull,
    DiskFree,
    Bad
};

struct Edge {
    EdgeKind kind;
    long long wall;  // when it happens, on the clock as it is then
    std::string name;
    bool done = false;
};

// Real time spent in a part of the run, for the run's account of itself.
struct Stopwatch {
    explicit Stopwatch(double* total) : total_(total), began_(std::chrono::steady_clock::now()) {}
    ~Stopwatch() {
        *total_ += std::chrono::duration<double>(std::chrono::steady_clock::now() - began_).count();
    }
    double* total_;
    std::chrono::steady_clock::time_point began_;
};

struct Bench {
    double spent_archive = 0, spent_daily = 0, spent_packets = 0;
    std::chrono::steady_clock::time_point began = std::chrono::steady_clock::now();
    Options o;
    YearRun run;
    std::string work, site, bin, simclock_lib;
    SimClock* clock = nullptr;
    long long mono0 = 0;    // the monotonic clock at the start (s), moved by the namespace
    long long elapsed = 0;  // s of the run that passed
    long long offset = 0;   // s the wall clock was set by hand, in all
    std::vector<Edge> edges;
    Timer archive, daily;
    pid_t sim_pid = -1, logger_pid = -1, daily_pid = -1;
    FILE* sim_in = nullptr;
    FILE* sim_out = nullptr;
    int slave = -1;   // the line's far end, for what waits unread in it
    std::string pty;  // the line kestsim talks on
    bool disk_full = false;
    long long bad_until = 0;    // wall
    long long next_packet = 0;  // elapsed
    long alerts_seen = 0;
    std::mt19937 rng;

    long long wall() const { return START_WALL + elapsed + offset; }
    void publish() {
        clock->wall_ns = wall() * 1000000000LL;
        clock->mono_ns = (mono0 + elapsed) * 1000000000LL;
    }
    MonthFigures& month() { return run.months[time_text(wall(), false).substr(0, 7)]; }
    std::vector<std::string> env() const {
        return {"LD_PRELOAD=" + simclock_lib,
                "KESTTEST_SIMCLOCK=" + work + "/clock",
                "PATH=" + bin + ":" + o.build + ":/usr/sbin:/usr/bin:/sbin:/bin",
                "KESTTEST_YEAR_AWAY=" + work + "/away",
                "KESTTEST_YEAR_HOST=" + work + "/host",
                "KESTTEST_YEAR_SEAL_LOG=" + work + "/seal.log"};
    }
    void fail(const std::string& why) {
        fprintf(stderr,
                "year_run: FAILED at %s (%s): %s\nyear_run: replay with --seed %u --days %d --zone %s\n",
                time_text(wall(), false).c_str(), time_text(wall(), true).c_str(), why.c_str(), o.seed,
                o.days, o.zone.c_str());
        stop();
        keep_copies();
        exit(1);
    }
    // The site's disk and the archive's folders end with the namespace: copies stay.
    void keep_copies() {
        sh("cp -a " + site + " " + work + "/site-at-end; cp -a /srv/kestarchive " + work + "/archive-at-end");
        fprintf(stderr, "year_run: what the site and the archive held: %s/site-at-end, %s/archive-at-end\n",
                work.c_str(), work.c_str());
    }
    void stop() {
        for (pid_t p : {logger_pid, sim_pid})
            if (p > 0) kill(p, SIGTERM);
        for (pid_t p : {logger_pid, sim_pid})
            if (p > 0) waitpid(p, nullptr, 0);
        logger_pid = sim_pid = -1;
    }
};

void write_file(const std::string& path, const std::string& text, mode_t mode = 0644) {
    std::ofstream(path) << text;
    chmod(path.c_str(), mode);
}

void setup_site(Bench& b) {
    b.site = b.work + "/site";
    fs::create_directories(b.site);
    if (mount("tmpfs", b.site.c_str(), "tmpfs", 0, SITE_DISK) != 0) die("the site's disk");
    b.bin = b.site + "/bin";
    fs::create_directories(b.bin);
    fs::create_directories(b.site + "/etc");
    fs::create_symlink(self_exe(), b.bin + "/ssh");
    // The mail command the alert runs: when it ran, on the run's clock.
    write_file(b.bin + "/mail", "#!/bin/sh\ncat >/dev/null\ndate +%s >> " + b.work + "/alerts.log\n", 0755);
    fs::copy_file(b.work + "/site-key", b.site + "/etc/key");
    chmod((b.site + "/etc/key").c_str(), 0600);
    write_file(b.site + "/etc/known_hosts", "", 0600);
    write_file(b.site + "/etc/kest1.archive",
               "destination=kest1@archive:\nkey=" + b.site + "/etc/key\nknown_hosts=" + b.site +
                   "/etc/known_hosts\nkeep_days=" + std::to_string(KEEP_DAYS) + "\ngrace_hours=24\nlive=N\n");
    b.run.site_dir = b.site;
    b.run.keep_days = KEEP_DAYS;
    b.run.compress_after = COMPRESS_AFTER;
    b.run.keep_reports = KEEP_REPORTS;
}

// Whether the logger waits in its loop with nothing unread on the line.
bool logger_idle(const Bench& b) {
    int unread = 0;
    if (ioctl(b.slave, FIONREAD, &unread) != 0 || unread > 0) return false;
    std::ifstream w("/proc/" + std::to_string(b.logger_pid) + "/wchan");
    std::string where;
    w >> where;
    return where.find("poll") != std::string::npos;
}

// kestsim on a new line, the link the logger opens pointing at it.
void start_sim(Bench& b) {
    int to_sim[2], from_sim[2];
    if (pipe2(to_sim, O_CLOEXEC) != 0 || pipe2(from_sim, O_CLOEXEC) != 0) die("pipe");
    int log = open((b.work + "/programs.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    b.sim_pid = spawn({b.o.build + "/kestsim", "--on-demand", "--link", b.work + "/line", "--seed",
                       std::to_string(b.o.seed + static_cast<unsigned>(b.run.sent))},
                      b.env(), to_sim[0], from_sim[1], log, b.work);
    close(to_sim[0]);
    close(from_sim[1]);
    close(log);
    b.sim_in = fdopen(to_sim[1], "w");
    b.sim_out = fdopen(from_sim[0], "r");
    char line[256];
    if (!fgets(line, sizeof line, b.sim_out)) die("kestsim did not say its line");
    b.pty.assign(line, strcspn(line, "\n"));
    b.slave = open(b.pty.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

void stop_sim(Bench& b) {
    kill(b.sim_pid, SIGTERM);
    waitpid(b.sim_pid, nullptr, 0);
    fclose(b.sim_in);
    fclose(b.sim_out);
    close(b.slave);
    b.sim_pid = -1;
}

// Whether the logger holds this line.
bool logger_holds(const Bench& b, const std::string& pty) {
    std::error_code ec;
    std::string fds = "/proc/" + std::to_string(b.logger_pid) + "/fd";
    for (auto it = fs::directory_iterator(fds, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
        if (fs::read_symlink(it->path(), ec) == pty) return true;
    return false;
}

// What the logger holds and where it waits, for a failure's message.
std::string where_logger_is(const Bench& b) {
    std::string proc = "/proc/" + std::to_string(b.logger_pid), out;
    std::error_code ec;
    for (auto it = fs::directory_iterator(proc + "/fd", ec); !ec && it != fs::directory_iterator();
         it.increment(ec))
        out += fs::read_symlink(it->path(), ec).string() + " ";
    std::ifstream w(proc + "/wchan");
    std::string where;
    w >> where;
    int unread = -1;
    ioctl(b.slave, FIONREAD, &unread);
    return "holds " + out + "; waits in " + where + "; " + std::to_string(unread) + " bytes unread";
}

void wait_for(Bench& b, const std::function<bool()>& done, const std::function<std::string()>& what) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(STORE_WAIT_MS);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) b.fail(what());
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

// The adapter pulled out and put back: a new line under the same name,
// which the logger finds again at its next try.
void replug_line(Bench& b) {
    std::string old = b.pty;
    stop_sim(b);
    // The loss seen at the moment it happened, before the clock moves on.
    wait_for(
        b, [&] { return !logger_holds(b, old); }, [] { return "the logger did not see its line go"; });
    start_sim(b);
    // The logger tries again every few seconds of its clock: time passes
    // until it has found the line, a minute at most.
    for (int tries = 0;; tries++) {
        b.elapsed += REPLUG;
        b.publish();
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(STORE_WAIT_MS / 5);
        while (std::chrono::steady_clock::now() < until && !(logger_holds(b, b.pty) && logger_idle(b)))
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        if (logger_holds(b, b.pty) && logger_idle(b)) break;
        if (tries == 5)
            b.fail("the logger did not open the line again (" + b.pty + "): " + where_logger_is(b));
    }
}

void start_programs(Bench& b) {
    start_sim(b);
    int log = open((b.work + "/programs.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    write_file(b.site + "/kestlog.par",
               "site=" + std::string(YEAR_SITE) + "\nserial_port=" + b.work + "/line" +
                   ",9600,7,E,1\nmaildest=operator\nkessendmail=Y\nmetrics_file=" + b.site +
                   "/kestlog.prom\n");
    std::vector<std::string> env = b.env();
    env.push_back("TZ=" + b.o.zone);
    int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    b.logger_pid = spawn({b.o.build + "/kestlog"}, env, null, log, log, b.site);
    close(null);
    close(log);
    // Ready: the line set up (which flushes what waited in it), the loop waiting.
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(STORE_WAIT_MS);
    for (int idle = 0; idle < 3; idle = logger_idle(b) ? idle + 1 : 0) {
        if (std::chrono::steady_clock::now() > until) b.fail("the logger did not start (programs.log)");
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

long long file_size(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

std::string status_file(const Bench& b, long long t) {
    char name[64];
    snprintf(name, sizeof name, "/data/KES%08d.txt", local_date(t));
    return b.site + name;
}

// One packet, a fault word with it in a bad spell; waits until the logger
// has stored it in the status file of the day, or (the disk full) has read
// it and gone back to waiting.
void send_packet(Bench& b) {
    bool bad = b.wall() < b.bad_until;
    std::string expected = status_file(b, b.wall());
    long long before = file_size(expected);
    fprintf(b.sim_in, "%s\n", bad ? "0029" : "");
    fflush(b.sim_in);
    char line[128];
    long n = 0;
    size_t bytes = 0;
    if (!fgets(line, sizeof line, b.sim_out) || sscanf(line, "sent %ld %zu", &n, &bytes) != 2)
        b.fail("kestsim stopped");
    b.run.sent++;
    b.month().sent++;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(STORE_WAIT_MS);
    for (int idle = 0;;) {
        if (!b.disk_full && file_size(expected) >= before + static_cast<long long>(bytes)) break;
        if (b.disk_full && (idle = logger_idle(b) ? idle + 1 : 0) >= 3) break;
        if (std::chrono::steady_clock::now() > until)
            b.fail("packet " + std::to_string(n) + " not stored in " + expected.substr(b.site.size() + 1) +
                   " within " + std::to_string(STORE_WAIT_MS / 1000) + " s");
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    // What the pass started (an alert's mail) ends before the clock moves on:
    // in the run's time it took no time at all.
    std::string children =
        "/proc/" + std::to_string(b.logger_pid) + "/task/" + std::to_string(b.logger_pid) + "/children";
    for (std::string kids;; kids.clear()) {
        std::ifstream(children) >> kids;
        if (kids.empty()) break;
        if (std::chrono::steady_clock::now() > until) b.fail("the logger's command " + kids + " did not end");
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

void run_archive(Bench& b) {
    std::vector<std::string> cmd = {b.o.build + "/kestlog-archive", "--settings",
                                    b.site + "/etc/kest1.archive", "-C", b.site};
    int rc = run_command(
        cmd,
        [&] {
            auto e = b.env();
            e.push_back("TZ=UTC");
            return e;
        }(),
        b.work + "/archive.log");
    (rc == 0 ? b.month().archive_ok : b.month().archive_failed)++;
    b.run.archive_hours[b.wall() / 3600]++;
}

void wait_daily(Bench& b) {
    if (b.daily_pid > 0) waitpid(b.daily_pid, nullptr, 0);
    b.daily_pid = -1;
}

// The daily job runs beside the rest, as its service does: the one before
// has ended first.
void run_daily(Bench& b) {
    wait_daily(b);
    std::vector<std::string> e = b.env();
    e.insert(e.end(), {"TZ=UTC", "KESTLOG_DIR=" + b.site,
                       "KESTLOG_COMPRESS_AFTER_DAYS=" + std::to_string(COMPRESS_AFTER),
                       "KESTLOG_KEEP_REPORTS_DAYS=" + std::to_string(KEEP_REPORTS)});
    int log = open((b.work + "/daily.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    b.daily_pid = spawn({"sh", b.o.source + "/contrib/kestlog-daily"}, e, null, log, log, b.site);
    close(log);
    close(null);
    b.month().daily++;
    char day[16];
    time_t t = static_cast<time_t>(b.wall());
    struct tm tm;
    gmtime_r(&t, &tm);
    strftime(day, sizeof day, "%Y%m%d", &tm);
    b.run.daily_runs[atoi(day)]++;
}

// The edges of the calendar and the faults, on the clock as it will be.
void plan_edges(Bench& b) {
    long long end = START_WALL + b.o.days * DAY;
    auto add = [&](EdgeKind k, long long wall, const std::string& name) {
        b.edges.push_back({k, wall, name});
    };
    add(EdgeKind::Mark, START_WALL + MONO_MARK_1 - b.mono0, "monotonic 24.8 days");
    add(EdgeKind::Mark, START_WALL + MONO_MARK_2 - b.mono0, "monotonic 49.7 days");
    std::string zone = b.o.zone;
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    for (long long t : zone_changes(START_WALL, end))
        add(EdgeKind::Mark, t, "clocks change in Europe/Berlin");
    setenv("TZ", zone.c_str(), 1);
    tzset();
    if (zone != "Europe/Berlin")
        for (long long t : zone_changes(START_WALL, end)) add(EdgeKind::Mark, t, "clocks change in " + zone);
    auto local_midnight = [](int year, int month, int day) {
        struct tm tm = {};
        tm.tm_year = year - 1900;
        tm.tm_mon = month - 1;
        tm.tm_mday = day;
        tm.tm_isdst = -1;
        return static_cast<long long>(mktime(&tm));
    };
    add(EdgeKind::Mark, local_midnight(2028, 1, 1), "into 2028 (1 January in week 52 of 2027)");
    add(EdgeKind::Mark, local_midnight(2028, 2, 29), "29 February");
    add(EdgeKind::Mark, local_midnight(2029, 1, 1), "31 December of a leap year into 2029");
    for (long long t = START_WALL + LINE_EVERY; t < end; t += LINE_EVERY)
        add(EdgeKind::LineLost, t + static_cast<long long>(b.rng() % DAY), "line unplugged and back");
    add(EdgeKind::LeapSecond, 1846022400, "leap second 2028-06-30 23:59:60 UTC");
    // The faults on days of their own, from the seed, each clear of the others.
    std::vector<int> days;
    for (int d = 10; d < b.o.days - 10; d += std::max(1, (b.o.days - 20) / 40)) days.push_back(d);
    std::shuffle(days.begin(), days.end(), b.rng);
    auto at = [&](size_t i, int hour) {
        return START_WALL + days[i % days.size()] * DAY + hour * 3600 +
               static_cast<long long>(b.rng() % 3000);
    };
    add(EdgeKind::SetBack, at(0, 13), "clock set back an hour");
    add(EdgeKind::SetForward, at(1, 9), "clock set forward a day");
    add(EdgeKind::ArchiveAway, at(2, 10), "archive host unreachable");
    add(EdgeKind::DiskFull, at(3, 11), "disk full");
    for (int i = 4; i < 9; i++)
        add(EdgeKind::Bad, at(static_cast<size_t>(i), 20), "a bad spell (fault 0029)");
    std::sort(b.edges.begin(), b.edges.end(), [](const Edge& x, const Edge& y) { return x.wall < y.wall; });
}

void fill_disk(Bench& b, bool full) {
    std::string filler = b.site + "/filler";
    if (full) {
        // Whatever is left, taken in one file, as a runaway one would.
        sh("dd if=/dev/zero of=" + filler + " bs=1M 2>/dev/null; dd if=/dev/zero of=" + filler +
           ".tail bs=1 2>/dev/null; true");
    } else {
        fs::remove(filler);
        fs::remove(filler + ".tail");
    }
    b.disk_full = full;
}

void enter_edge(Bench& b, Edge& e) {
    e.done = true;
    b.month().edges.push_back(e.name);
    switch (e.kind) {
        case EdgeKind::LeapSecond:
            b.offset -= 1;
            break;
        case EdgeKind::SetBack:
            b.offset -= 3600;
            break;
        case EdgeKind::SetForward: {
            long long before = b.wall();
            b.offset += DAY;
            // The hours whose elapse the clock jumped over: their runs are the one at landing.
            for (long long t : b.archive.at)
                if (t > before && t <= b.wall()) b.run.jumped_hours.push_back(t / 3600);
            for (long long t = before + DAY;
                 local_date(t) < local_date(b.wall()) && local_date(t) > local_date(before); t += DAY)
                b.run.skipped_dates.push_back(local_date(t));
            break;
        }
        case EdgeKind::ArchiveAway:
            write_file(b.work + "/away", "");
            b.edges.push_back({EdgeKind::ArchiveBack, b.wall() + AWAY, "archive host back"});
            break;
        case EdgeKind::ArchiveBack:
            fs::remove(b.work + "/away");
            break;
        case EdgeKind::DiskFull:
            fill_disk(b, true);
            b.edges.push_back({EdgeKind::DiskFree, b.wall() + DISK_FULL, "disk freed"});
            break;
        case EdgeKind::DiskFree:
            fill_disk(b, false);
            break;
        case EdgeKind::Bad:
            b.bad_until = b.wall() + BAD_SPELL;
            break;
        case EdgeKind::LineLost:
            replug_line(b);
            break;
        case EdgeKind::Mark:
            break;
    }
    std::sort(b.edges.begin(), b.edges.end(), [](const Edge& x, const Edge& y) { return x.wall < y.wall; });
    // A clock set back brings the timers' earlier elapses back; one set
    // forward leaves the passed one due, to run once.
    if (e.kind == EdgeKind::SetBack || e.kind == EdgeKind::LeapSecond) {
        b.archive.seek(b.wall());
        b.daily.seek(b.wall());
    }
}

// Whether an edge is near on the clock: packets close together then.
bool near_edge(const Bench& b) {
    for (const Edge& e : b.edges)
        if (llabs(e.wall - b.wall()) <= DENSE_WINDOW) return true;
    return false;
}

void sample_usage(Bench& b) {
    std::string proc = "/proc/" + std::to_string(b.logger_pid);
    int fds = 0;
    std::error_code ec;
    for (auto it = fs::directory_iterator(proc + "/fd", ec); !ec && it != fs::directory_iterator();
         it.increment(ec))
        fds++;
    long rss = 0;
    std::ifstream status(proc + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) rss = std::stol(line.substr(6));
    MonthFigures& m = b.month();
    m.fds = std::max(m.fds, fds);
    m.rss_kb = std::max(m.rss_kb, rss);
    if (b.run.fds_first < 0) {
        b.run.fds_first = fds;
        b.run.rss_first = rss;
    }
    b.run.fds_last = fds;
    b.run.fds_max = std::max(b.run.fds_max, fds);
    b.run.rss_max = std::max(b.run.rss_max, rss);
}

void count_alerts(Bench& b) {
    std::ifstream in(b.work + "/alerts.log");
    long n = 0;
    for (std::string line; std::getline(in, line); n++)
        if (n >= b.alerts_seen) {
            b.run.alert_walls.push_back(std::atoll(line.c_str()));
            b.month().alerts++;
        }
    b.alerts_seen = n;
}

void progress(const Bench& b) {
    int runs = 0;
    for (const auto& [month, m] : b.run.months) runs += m.archive_ok + m.archive_failed;
    double real = std::chrono::duration<double>(std::chrono::steady_clock::now() - b.began).count();
    printf(
        "year_run: day %lld after %.0f s: packets %.0f s, archive job %.0f s (%.0f ms a run), daily job %.0f "
        "s\n",
        b.elapsed / DAY, real, b.spent_packets, b.spent_archive, runs ? 1000 * b.spent_archive / runs : 0.0,
        b.spent_daily);
}

void run_year(Bench& b) {
    const long long end = static_cast<long long>(b.o.days) * DAY;
    long long next_sample = DAY / 2;
    while (b.elapsed < end) {
        // The next thing that happens: an edge, a timer, a packet, a look at the logger.
        long long to = std::min(b.next_packet, next_sample);
        for (const Edge& e : b.edges) {
            long long at = e.wall - START_WALL - b.offset;
            if (!e.done && at - DENSE_WINDOW > b.elapsed) to = std::min(to, at - DENSE_WINDOW);
            if (!e.done) to = std::min(to, std::max(at, b.elapsed));
        }
        for (const Timer* t : {&b.archive, &b.daily})
            if (t->next < t->at.size())
                to = std::min(to, std::max(b.elapsed, t->at[t->next] - START_WALL - b.offset));
        b.elapsed = std::max(b.elapsed, std::min(to, end));
        b.publish();
        for (Edge& e : b.edges)
            if (!e.done && b.wall() >= e.wall) {
                enter_edge(b, e);
                b.publish();
                break;
            }
        if (b.archive.due(b.wall())) {
            Stopwatch w(&b.spent_archive);
            run_archive(b);
            b.archive.seek(b.wall());
        }
        if (b.daily.due(b.wall())) {
            Stopwatch w(&b.spent_daily);
            run_daily(b);
            b.daily.seek(b.wall());
        }
        if (near_edge(b)) b.next_packet = std::min(b.next_packet, b.elapsed + DENSE_EVERY);
        if (b.elapsed >= b.next_packet) {
            Stopwatch w(&b.spent_packets);
            send_packet(b);
            count_alerts(b);
            bool bad = b.wall() < b.bad_until;
            b.next_packet = b.elapsed + (near_edge(b) ? DENSE_EVERY : bad ? BAD_EVERY : PACKET_EVERY);
        }
        if (b.elapsed >= next_sample) {
            sample_usage(b);
            next_sample += DAY;
            if (next_sample / DAY % 30 == 0) progress(b);
        }
    }
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                fprintf(stderr, "year_run: %s needs a value\n", a.c_str());
                exit(2);
            }
            return argv[++i];
        };
        if (a == "--build")
            o.build = fs::absolute(value());
        else if (a == "--source")
            o.source = fs::absolute(value());
        else if (a == "--days")
            o.days = std::atoi(value().c_str());
        else if (a == "--zone")
            o.zone = value();
        else if (a == "--seed")
            o.seed = static_cast<unsigned>(std::strtoul(value().c_str(), nullptr, 10));
        else if (a == "--keep")
            o.keep = true;
        else {
            fprintf(
                stderr,
                "usage: year_run --build DIR --source DIR [--days N] [--zone ZONE] [--seed N] [--keep]\n");
            exit(2);
        }
    }
    if (o.build.empty() || o.source.empty() || o.days < 60) {
        fprintf(stderr, "year_run: --build and --source are needed, and --days of 60 or more\n");
        exit(2);
    }
    return o;
}

// Into a mount namespace (the archive host's folders, the site's disk) and
// a time namespace whose monotonic clocks stand minutes before 24.8 days.
void enter_namespaces(int argc, char** argv) {
    if (getenv("KESTTEST_YEAR_INSIDE")) return;
    if (getuid() != 0) {
        printf("skipped: the year run needs root (namespaces, users of the archive host)\n");
        exit(77);
    }
    for (const char* tool :
         {"systemd-analyze", "systemd-sysusers", "setpriv", "ssh-keygen", "rsync", "unshare"})
        if (sh(std::string("command -v ") + tool + " >/dev/null") != 0) {
            printf("skipped: the year run needs %s\n", tool);
            exit(77);
        }
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::string shift = std::to_string(MONO_MARK_1 - MONO_LEAD - now.tv_sec);
    setenv("KESTTEST_YEAR_INSIDE", "1", 1);
    std::vector<std::string> args = {"unshare",    "--mount", "--propagation", "private",
                                     "--time",     "--fork",  "--monotonic",   shift,
                                     "--boottime", shift,     self_exe()};
    for (int i = 1; i < argc; i++) args.push_back(argv[i]);
    std::vector<char*> v;
    for (std::string& a : args) v.push_back(a.data());
    v.push_back(nullptr);
    execvp("unshare", v.data());
    die("unshare");
}

}  // namespace

int local_date(long long t) {
    time_t tt = static_cast<time_t>(t);
    struct tm tm;
    localtime_r(&tt, &tm);
    return (tm.tm_year + 1900) * 10000 + (tm.tm_mon + 1) * 100 + tm.tm_mday;
}

int main(int argc, char** argv) {
    if (fs::path(argv[0]).filename() == "ssh") return ssh_stand_in(argc, argv);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    Bench b;
    b.o = parse(argc, argv);
    if (!getenv("KESTTEST_YEAR_INSIDE") && b.o.seed == 0) {
        b.o.seed = static_cast<unsigned>(std::random_device()());
        std::string s = std::to_string(b.o.seed);
        std::vector<char*> v(argv, argv + argc);
        v.push_back(const_cast<char*>("--seed"));
        v.push_back(s.data());
        v.push_back(nullptr);
        enter_namespaces(static_cast<int>(v.size()) - 1, v.data());
    }
    enter_namespaces(argc, argv);
    printf("year_run: seed %u, %d days in %s (replay: --seed %u)\n", b.o.seed, b.o.days, b.o.zone.c_str(),
           b.o.seed);
    b.rng.seed(b.o.seed);
    setenv("TZ", b.o.zone.c_str(), 1);
    tzset();
    char tmpl[] = "/tmp/kestyear-XXXXXX";
    if (!mkdtemp(tmpl)) die("mkdtemp");
    b.work = tmpl;
    // The archive host's users read the clock page and run the gate and the
    // sealer: copies where they may, whatever folder the build is in.
    chmod(tmpl, 0755);
    fs::create_directories(b.work + "/host");
    for (const char* f : {"kestlog-archive-gate", "kestarchive", "libsimclock_preload.so"})
        fs::copy_file(b.o.build + "/" + f, b.work + "/host/" + f);
    b.simclock_lib = b.work + "/host/libsimclock_preload.so";
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    b.mono0 = now.tv_sec;
    int cfd = open((b.work + "/clock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (cfd < 0 || ftruncate(cfd, sizeof(SimClock)) != 0) die("the clock page");
    b.clock =
        static_cast<SimClock*>(mmap(nullptr, sizeof(SimClock), PROT_READ | PROT_WRITE, MAP_SHARED, cfd, 0));
    b.publish();
    b.run.archive_dir = setup_archive_host(b.work, b.o.source, b.o.build);
    setup_site(b);
    const long long end_wall = START_WALL + b.o.days * DAY;
    const int count = b.o.days * 24 + 48;
    b.archive.at =
        elapses(on_calendar(b.o.source + "/contrib/kestlog-archive@.timer"), START_WALL - 1, count);
    b.daily.at =
        elapses(on_calendar(b.o.source + "/contrib/kestlog-daily.timer"), START_WALL - 1, b.o.days + 2);
    // Each site's fixed moment in the hour, and the day's own delay of the daily job.
    long long fixed = static_cast<long long>(b.rng() % (45 * 60));
    for (long long& t : b.archive.at) t += fixed;
    for (long long& t : b.daily.at) t += static_cast<long long>(b.rng() % 300);
    plan_edges(b);
    b.run.zone = b.o.zone;
    b.run.start_date = local_date(START_WALL);
    b.run.end_date = local_date(end_wall - 1);
    b.run.first_hour = START_WALL / 3600;
    b.run.last_hour = end_wall / 3600 - 1;
    start_programs(b);
    run_year(b);
    wait_daily(b);
    count_alerts(b);
    b.stop();
    auto took =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - b.began).count();
    check_year(&b.run);
    print_months(b.run);
    printf(
        "year_run: %d days in %lld s of real time (packets %.0f s, archive job %.0f s, daily job %.0f s), "
        "seed %u\n",
        b.o.days, static_cast<long long>(took), b.spent_packets, b.spent_archive, b.spent_daily, b.o.seed);
    for (const std::string& f : b.run.failures) printf("FAILED: %s\n", f.c_str());
    if (!b.run.failures.empty()) {
        b.keep_copies();
        printf("year_run: replay with --seed %u --days %d --zone %s; kept in %s\n", b.o.seed, b.o.days,
               b.o.zone.c_str(), b.work.c_str());
        return 1;
    }
    if (!b.o.keep) {
        umount2(b.site.c_str(), MNT_DETACH);
        fs::remove_all(b.work);
    }
    return 0;
}
