// kestreport: did we lose data yesterday, and why? A day (or several) of a
// logger's data directory at a glance. Reads the directory, writes nothing
// there.
#include <getopt.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "formats/formats.h"
#include "report.h"

namespace {

constexpr int EXIT_TROUBLE = 1;
constexpr int EXIT_USAGE = 2;
constexpr int DAYS_MAX = 3660;

void usage(FILE* out) {
    fputs(
        "usage: kestreport [options] [DATA_DIR...]\n"
        "Summarises a day of a logger's data directory (default ./data): packets,\n"
        "minutes with data, faults, framing failures, lost lines and gaps by the hour,\n"
        "and the logger's own events. Reads plain and gzip-compressed files.\n"
        "With several directories, one summary row per directory and day.\n"
        "  -d, --day YYYY-MM-DD   the day (default yesterday)\n"
        "  -n, --days N           the N days ending yesterday (or --day)\n"
        "  -s, --svg FILE         also draw the day: one row an hour, a cell a minute\n"
        "  -c, --csv              one line per minute instead of the text\n"
        "  -z, --tz ZONE          the time zone the days are in (default: TZ)\n"
        "  -r, --records          each record, with the kind it was read as\n"
        "  -k, --kinds            the kinds of record it reads, and stop\n"
        "  -h, --help             this text\n"
        "Exit status 1 when a directory or file could not be read whole (the report\n"
        "is still printed), 2 for misuse.\n",
        out);
}

struct Options {
    int last = 0;  // yyyymmdd
    long days = 1;
    std::string svg;
    bool csv = false;
    bool records = false;
    std::vector<std::string> dirs;
};

int yesterday() {
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    return date_before((t.tm_year + 1900) * 10000 + (t.tm_mon + 1) * 100 + t.tm_mday);
}

// Whether the zone database knows the zone: a TZif file under TZDIR (or at
// an absolute path). glibc takes any other name for UTC without a word, and
// the report would then be in UTC under a title naming that zone.
bool known_zone(const char* zone) {
    if (zone[0] == ':') zone++;
    const char* dir = getenv("TZDIR");
    std::string path =
        zone[0] == '/' ? zone : std::string(dir && *dir ? dir : "/usr/share/zoneinfo") + "/" + zone;
    if (zone[0] == '\0' || ("/" + std::string(zone) + "/").find("/../") != std::string::npos) return false;
    char magic[4];
    FILE* f = fopen(path.c_str(), "re");
    bool tzif = f && fread(magic, 1, sizeof magic, f) == sizeof magic && memcmp(magic, "TZif", 4) == 0;
    if (f) fclose(f);
    return tzif;
}

bool parse_options(int argc, char** argv, Options* o) {
    static const struct option longopts[] = {{"day", required_argument, nullptr, 'd'},
                                             {"days", required_argument, nullptr, 'n'},
                                             {"svg", required_argument, nullptr, 's'},
                                             {"csv", no_argument, nullptr, 'c'},
                                             {"tz", required_argument, nullptr, 'z'},
                                             {"records", no_argument, nullptr, 'r'},
                                             {"kinds", no_argument, nullptr, 'k'},
                                             {"help", no_argument, nullptr, 'h'},
                                             {nullptr, 0, nullptr, 0}};
    // The zone first: "yesterday" is the zone's.
    for (int i = 1; i < argc; i++) {
        const char* zone = strcmp(argv[i], "--tz") == 0 || strcmp(argv[i], "-z") == 0
                               ? (i + 1 < argc ? argv[i + 1] : nullptr)
                           : strncmp(argv[i], "--tz=", 5) == 0 ? argv[i] + 5
                                                               : nullptr;
        if (!zone) continue;
        if (!known_zone(zone)) {
            fprintf(stderr, "kestreport: unknown time zone %s\n", zone);
            return false;
        }
        setenv("TZ", zone, 1);
    }
    tzset();
    o->last = yesterday();
    for (int c; (c = getopt_long(argc, argv, "d:n:s:cz:rkh", longopts, nullptr)) != -1;) {
        if (c == 'd') {
            if (!parse_date(optarg, &o->last)) {
                fprintf(stderr, "kestreport: not a date (YYYY-MM-DD): %s\n", optarg);
                return false;
            }
        } else if (c == 'n') {
            char* end;
            errno = 0;
            o->days = strtol(optarg, &end, 10);
            if (errno || *end || o->days < 1 || o->days > DAYS_MAX) {
                fprintf(stderr, "kestreport: not a number of days (1 to %d): %s\n", DAYS_MAX, optarg);
                return false;
            }
        } else if (c == 's') {
            o->svg = optarg;
        } else if (c == 'c') {
            o->csv = true;
        } else if (c == 'z') {
            // Taken above.
        } else if (c == 'r') {
            o->records = true;
        } else if (c == 'k') {
            for (size_t i = 0; i < RECORD_KIND_COUNT; i++) printf("%s\n", RECORD_KINDS[i].name);
            exit(0);
        } else if (c == 'h') {
            usage(stdout);
            exit(0);
        } else {
            usage(stderr);
            return false;
        }
    }
    for (int i = optind; i < argc; i++) o->dirs.push_back(argv[i]);
    if (o->dirs.empty()) o->dirs.push_back("./data");
    if (!o->svg.empty() && o->dirs.size() > 1) {
        fputs("kestreport: --svg draws one directory\n", stderr);
        return false;
    }
    return true;
}

// Written under a name no one can foresee beside path, then renamed over
// it: a link or FIFO planted at path is replaced, never written through.
bool write_file(const std::string& path, const std::string& text) {
    char tmp[PATH_MAX];
    int fd = make_temporary(path.c_str(), tmp, sizeof tmp);
    mode_t mask = umask(0);
    umask(mask);
    bool ok = fd >= 0 && fchmod(fd, 0666 & ~mask) == 0 &&
              write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (fd >= 0 && close(fd) != 0) ok = false;
    if (ok && rename(tmp, path.c_str()) != 0) ok = false;
    if (!ok) {
        fprintf(stderr, "kestreport: %s: %s\n", path.c_str(), strerror(errno));
        if (fd >= 0) unlink(tmp);
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse_options(argc, argv, &o)) return EXIT_USAGE;
    int first = o.last;
    for (long i = 1; i < o.days; i++) first = date_before(first);

    std::string out;
    bool ok = true;
    if (o.records) {
        for (const std::string& dir : o.dirs) {
            bool complete;
            out += records_of(dir, first, o.last, &complete);
            ok = ok && complete;
        }
    } else if (o.dirs.size() > 1) {
        // A central collection of many sites: one row per directory and day.
        out = summary_header();
        for (const std::string& dir : o.dirs) {
            bool complete;
            for (const DaySummary& day : summarise(dir, first, o.last, &complete))
                print_summary_row(day, dir, &out);
            ok = ok && complete;
        }
    } else {
        std::vector<DaySummary> days = summarise(o.dirs[0], first, o.last, &ok);
        if (o.csv) {
            print_csv(days, &out);
        } else {
            print_text(days, o.dirs[0], &out);
            if (isatty(STDOUT_FILENO)) print_terminal(days, &out);
        }
        if (!o.svg.empty()) ok = write_file(o.svg, svg_of(days)) && ok;
    }
    if (fwrite(out.data(), 1, out.size(), stdout) != out.size() || fflush(stdout) != 0) return EXIT_TROUBLE;
    return ok ? 0 : EXIT_TROUBLE;
}
