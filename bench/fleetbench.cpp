// The fleet page's speed: SITES sites of DAYS days of one status packet a
// minute, as the archive holds them (a record, sealed files), built by
// `kestarchive fleet` three times: the first build, a build after one new
// file a site, and a build with nothing new. Printed as it goes, with the
// page's bytes a site-day and the builder's peak memory. Then one site of
// thirty days of a packet a second (made by reportbench, beside
// KESTARCHIVE): the first build's processor time against `wc -l` over the
// same files, the median of three.
//   fleetbench KESTARCHIVE [SITES] [DAYS]
// Only the window's files (and the day before it) are written: the builder
// opens no other, so the older days are in each site's record alone.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench.h"
#include "formats/formats.h"
#include "kestsim.h"

namespace {

constexpr int WINDOW = 30;
constexpr double NEW_FILES_AIM_S = 5, NOTHING_NEW_AIM_S = 1, BYTES_AIM = 50, MEMORY_AIM_MB = 64, WC_AIM = 1.5;
constexpr int COMMAND_TIMEOUT_S = 1200;

struct Day {
    int date;
    std::string status;  // "" outside the window
};

Day make_day(int back, bool with_packets) {
    time_t t = time(nullptr) - static_cast<time_t>(back) * 86400;
    struct tm day;
    gmtime_r(&t, &day);
    Day d{(day.tm_year + 1900) * 10000 + (day.tm_mon + 1) * 100 + day.tm_mday, ""};
    if (!with_packets) return d;
    Reading r = first_reading();
    std::mt19937 rng(static_cast<unsigned>(d.date));
    for (int m = 0; m < 1440; m++) {
        struct tm clock = day;
        clock.tm_hour = m / 60;
        clock.tm_min = m % 60;
        clock.tm_sec = 0;
        next_reading(r, rng);
        d.status += status_packet(1, clock, r, "0000");
    }
    return d;
}

void write_or_die(const std::string& path, const std::string& text, const char* mode = "w") {
    FILE* f = fopen(path.c_str(), mode);
    if (!f || fwrite(text.data(), 1, text.size(), f) != text.size() || fclose(f) != 0) {
        perror(path.c_str());
        exit(1);
    }
}

// A site's copy of a day: the file, and its line in the record (the
// sha256 stands in as any 64 hex digits: the builder only keys by it).
void seal_day(const std::string& site_dir, const Day& d, int site) {
    char name[64], line[256];
    daily_file_name(name, sizeof name, DailyFile::Status, d.date);
    if (!d.status.empty()) write_or_die(site_dir + "/data/" + name, d.status);
    snprintf(line, sizeof line, "%s %zu %056d%08x %lld\n", name, d.status.size(), d.date, site,
             static_cast<long long>(time(nullptr)));
    write_or_die(site_dir + "/record", line, "a");
}

struct Build {
    double seconds, peak_mb, cpu;
};

Build build(const std::vector<std::string>& argv, bool quiet = false) {
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    pid_t pid = bench::fork_started();
    if (pid == 0) {
        if (quiet && !freopen("/dev/null", "w", stdout)) _exit(127);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status;
    struct rusage ru;
    if (!bench::wait_ended(pid, COMMAND_TIMEOUT_S, argv[0].c_str(), &status, &ru)) exit(1);
    clock_gettime(CLOCK_MONOTONIC, &t1);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "fleetbench: %s failed\n", argv[0].c_str());
        exit(1);
    }
    return {static_cast<double>(t1.tv_sec - t0.tv_sec) + static_cast<double>(t1.tv_nsec - t0.tv_nsec) / 1e9,
            static_cast<double>(ru.ru_maxrss) / 1024,
            static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6};
}

bool judge(const char* what, double value, double aim, const char* unit) {
    bool ok = value <= aim;
    printf("%s: %.2f %s (aim: at most %.1f)%s\n", what, value, unit, aim, ok ? "" : "  MISSED");
    return ok;
}

double median3(double a, double b, double c) { return std::max(std::min(a, b), std::min(std::max(a, b), c)); }

// One site of thirty days of a packet a second: the first build's processor
// time against wc -l's over the files it reads.
bool against_wc(const std::string& kestarchive) {
    const std::string root = "fleet-bench-second", dir = root + "/sites/one";
    // Beside kestarchive, named so that it is found from the site's folder too.
    std::string reportbench =
        std::filesystem::absolute(kestarchive.substr(0, kestarchive.rfind('/') + 1) + "reportbench").string();
    if (system(("rm -rf " + root + " && mkdir -p " + dir + "/data && cd " + dir + " && " + reportbench +
                " --generate 30")
                   .c_str()) != 0)
        return false;
    write_or_die(dir + "/site.conf", "zone=UTC\n");
    std::vector<std::string> wc = {"wc", "-l"};
    std::string record;
    for (const auto& e : std::filesystem::directory_iterator(dir + "/data")) {
        std::string name = e.path().filename();
        char line[256];
        snprintf(line, sizeof line, "%s %jd %064d %lld\n", name.c_str(), static_cast<intmax_t>(e.file_size()),
                 0, static_cast<long long>(time(nullptr)));
        record += line;
        wc.push_back(e.path());
    }
    write_or_die(dir + "/record", record);
    std::vector<std::string> cmd = {kestarchive,     "fleet", "--days",       "30",      "--root",
                                    root + "/sites", "--out", root + "/page", "--cache", root + "/cache"};
    build(wc, true);  // both from the page cache
    double fleet[3], count[3];
    for (int i = 0; i < 3; i++) {
        if (system(("rm -rf " + root + "/page " + root + "/cache").c_str()) != 0) return false;
        fleet[i] = build(cmd).cpu;
        count[i] = build(wc, true).cpu;
        printf("first build of 30 days of a packet a second: %.3f CPU s; wc -l: %.3f\n", fleet[i], count[i]);
    }
    double ratio = median3(fleet[0], fleet[1], fleet[2]) / median3(count[0], count[1], count[2]);
    bool ok = judge("first build / wc -l", ratio, WC_AIM, "");
    system(("rm -rf " + root).c_str());
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: fleetbench KESTARCHIVE [SITES] [DAYS]\n");
        return 2;
    }
    bench::begin();
    setenv("TZ", "UTC", 1);
    const int sites = argc > 2 ? atoi(argv[2]) : 500, days = argc > 3 ? atoi(argv[3]) : 366;
    const std::string root = "fleet-bench";
    if (system(("rm -rf " + root).c_str()) != 0) return 1;
    for (const char* d : {"", "/sites", "/page", "/cache"}) mkdir((root + d).c_str(), 0755);
    std::vector<std::string> dirs;
    for (int s = 0; s < sites; s++) {
        char name[32];
        snprintf(name, sizeof name, "/sites/s%04d", s);
        dirs.push_back(root + name);
        mkdir(dirs.back().c_str(), 0755);
        mkdir((dirs.back() + "/data").c_str(), 0755);
        write_or_die(dirs.back() + "/" + "site.conf", "zone=UTC\n");
    }
    // Up to the day before yesterday; yesterday's file comes later, one a site.
    for (int back = days; back >= 2; back--) {
        Day d = make_day(back, back <= WINDOW + 1);
        for (int s = 0; s < sites; s++) seal_day(dirs[static_cast<size_t>(s)], d, s);
    }
    printf("%d sites x %d days of one packet a minute; the last %d days on disk\n", sites, days, WINDOW);
    std::vector<std::string> cmd = {argv[1], "fleet",        "--root",  root + "/sites",
                                    "--out", root + "/page", "--cache", root + "/cache"};
    Build first = build(cmd);
    printf("first build: %.2f s, %.1f MB at most\n", first.seconds, first.peak_mb);
    Day yesterday = make_day(1, true);
    for (int s = 0; s < sites; s++) seal_day(dirs[static_cast<size_t>(s)], yesterday, s);
    Build fresh = build(cmd);
    Build nothing = build(cmd);
    struct stat st;
    double per_site_day = stat((root + "/page/index.html").c_str(), &st) == 0
                              ? static_cast<double>(st.st_size) / (sites * WINDOW)
                              : 1e9;
    bool ok = judge("after one new file a site", fresh.seconds, NEW_FILES_AIM_S, "s");
    ok = judge("nothing new", nothing.seconds, NOTHING_NEW_AIM_S, "s") && ok;
    ok = judge("page bytes a site-day", per_site_day, BYTES_AIM, "bytes") && ok;
    double peak = std::max({first.peak_mb, fresh.peak_mb, nothing.peak_mb});
    ok = judge("peak memory", peak, MEMORY_AIM_MB, "MB") && ok;
    if (system(("rm -rf " + root).c_str()) != 0) return 1;
    ok = against_wc(argv[1]) && ok;
    return ok ? 0 : 1;
}
