// The fleet's figures: each site's days, read from what the archive holds,
// in the site's own time zone. A day is summarised by kestreport's reader
// and kept in a cache, keyed by what went into it; a day whose files are the
// same is never read again, which is nearly every day of every site.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "kestarchive.h"
#include "report.h"

const char* const FLEET_COLOURS[FLEET_STATES] = {"#0072b2", "#f0e442", "#e69f00", "#d55e00",
                                                 "#bbbbbb", "#ffffff", "#f4f4f4"};

const char* const FLEET_STATE_NAMES[FLEET_STATES] = {"good",
                                                     "with faults",
                                                     "instrument silent",
                                                     "line lost",
                                                     "logger not running",
                                                     "not yet arrived",
                                                     "no data expected"};

double FleetDay::good() const {
    return expected() > 0 ? static_cast<double>(count[FLEET_GOOD]) / expected() : -1;
}

double FleetDay::completeness() const {
    return expected() > 0 ? static_cast<double>(count[FLEET_GOOD] + count[FLEET_FAULTS]) / expected() : -1;
}

double FleetSite::yesterday() const { return days.size() >= 2 ? days[days.size() - 2].completeness() : -1; }

int FleetSite::longest_gap() const {
    int longest = 0;
    for (const FleetGap& g : gaps) longest = std::max(longest, g.minutes);
    return longest;
}

const char* age_bucket(long long age, bool never) {
    if (never) return "never";
    if (age <= 2LL * 86400) return "2 d";
    if (age <= 7LL * 86400) return "7 d";
    if (age <= 25LL * 86400) return "25 d";
    return "older";
}

namespace {

constexpr const char* CACHE_HEAD = "kestarchive-fleet-cache 1";

// A file the archive holds of a site: sealed in data/ (a name twice held
// beside the first, its sha256's start added), or the live copy of one
// still growing.
struct HeldFile {
    std::string path;
    std::string key;  // what it is: name and sha256, or a live copy's size and time
    DailyFile kind = DailyFile::Status;
    int date = 0;
};

// The logger's name of a file the archive holds: "KESyyyymmdd.txt" is
// itself; its twin "KESyyyymmdd.1a2b3c4d.txt" is the same day's.
bool held_name(const std::string& name, DailyFile* kind, int* date) {
    bool gz;
    if (parse_daily_file_name(name, kind, date, &gz)) return true;
    size_t dot = name.find('.');
    if (dot == std::string::npos || name.size() < dot + 10 || name[dot + 9] != '.') return false;
    for (size_t i = dot + 1; i < dot + 9; i++)
        if (!isxdigit(static_cast<unsigned char>(name[i]))) return false;
    return parse_daily_file_name(name.substr(0, dot) + name.substr(dot + 9), kind, date, &gz);
}

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Midnight's or a minute's time in the zone TZ names now.
long long local_time(int date, int minute) {
    struct tm t = {};
    t.tm_year = date / 10000 - 1900;
    t.tm_mon = date / 100 % 100 - 1;
    t.tm_mday = date % 100;
    t.tm_hour = minute / 60;
    t.tm_min = minute % 60;
    t.tm_isdst = -1;
    return static_cast<long long>(mktime(&t));
}

int local_date(long long when) {
    time_t t = static_cast<time_t>(when);
    struct tm tm;
    localtime_r(&t, &tm);
    return (tm.tm_year + 1900) * 10000 + (tm.tm_mon + 1) * 100 + tm.tm_mday;
}

// What the archive holds of a site, and what its manifest says it holds.
struct SiteFiles {
    std::vector<HeldFile> status, messages;  // by date
    std::set<int> pending_days;              // of status files in the manifest and not sealed
    long long pending_files = 0;
    long long last_push = 0;
    int first_date = 0;
};

void hold(SiteFiles* f, HeldFile h) {
    if (f->first_date == 0 || h.date < f->first_date) f->first_date = h.date;
    (h.kind == DailyFile::Status ? f->status : f->messages).push_back(std::move(h));
}

SiteFiles files_of(const std::string& dir) {
    SiteFiles f;
    std::set<std::string> sealed_names, sealed_sums;
    for (const SealedFile& s : parse_sealed(read_text(dir + "/" + SEAL_RECORD))) {
        DailyFile kind;
        int date;
        sealed_sums.insert(s.sha256);
        f.last_push = std::max(f.last_push, s.sealed);
        if (!held_name(s.name, &kind, &date)) continue;
        sealed_names.insert(s.name);
        hold(&f, {dir + "/" + ARCHIVE_SEALED + "/" + s.name, s.name + " " + s.sha256, kind, date});
    }
    const std::string live = dir + "/" + ARCHIVE_LIVE;
    if (DIR* d = opendir(live.c_str())) {
        while (struct dirent* e = readdir(d)) {
            DailyFile kind;
            int date;
            bool gz;
            struct stat st;
            std::string path = live + "/" + e->d_name;
            if (!parse_daily_file_name(e->d_name, &kind, &date, &gz) || sealed_names.count(e->d_name) ||
                lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
                continue;
            char key[160];
            snprintf(key, sizeof key, "live/%s %lld %lld.%09ld", e->d_name,
                     static_cast<long long>(st.st_size), static_cast<long long>(st.st_mtim.tv_sec),
                     st.st_mtim.tv_nsec);
            hold(&f, {path, key, kind, date});
        }
        closedir(d);
    }
    // The manifest is sent at every push; its change time is the archive's
    // own clock, which no site sets.
    struct stat st;
    std::string manifest = live + "/" + MANIFEST_NAME;
    if (lstat(manifest.c_str(), &st) == 0) f.last_push = std::max<long long>(f.last_push, st.st_ctim.tv_sec);
    for (const ManifestEntry& e : parse_manifest(read_text(manifest))) {
        if (sealed_sums.count(e.sha256)) continue;
        f.pending_files++;
        DailyFile kind;
        int date;
        if (held_name(e.name, &kind, &date) && kind == DailyFile::Status) f.pending_days.insert(date);
    }
    auto by_date = [](const HeldFile& a, const HeldFile& b) {
        return a.date < b.date || (a.date == b.date && a.key < b.key);
    };
    std::sort(f.status.begin(), f.status.end(), by_date);
    std::sort(f.messages.begin(), f.messages.end(), by_date);
    return f;
}

// What goes into the days first to last: their status files and those of
// the days beside (a stamp lies in a neighbour's file near midnight), and
// the message logs from the newest named before the first to those named by
// the day after the last.
struct DayInputs {
    std::vector<std::pair<int, std::string>> status;
    std::vector<std::string> messages;
    std::string key;
};

DayInputs inputs_of(const SiteFiles& f, int first, int last) {
    DayInputs in;
    int before = date_before(first), after = next_date(last);
    for (const HeldFile& h : f.status) {
        if (h.date < before || h.date > after) continue;
        in.status.push_back({h.date, h.path});
        in.key += h.key + "\n";
    }
    int from = 0;
    for (const HeldFile& h : f.messages)
        if (h.date < first) from = h.date;
    for (const HeldFile& h : f.messages) {
        if (h.date < from || h.date > after) continue;
        in.messages.push_back(h.path);
        in.key += h.key + "\n";
    }
    return in;
}

std::string hash_of(const std::string& key) {
    unsigned long long h = 1469598103934665603ULL;  // FNV-1a
    for (unsigned char c : key) h = (h ^ c) * 1099511628211ULL;
    char text[20];
    snprintf(text, sizeof text, "%016llx", h);
    return text;
}

std::string codes_of(const DaySummary& d) {
    std::string codes(FLEET_SLOTS, FLEET_CODES[FLEET_NONE]);
    for (int m = 0; m < FLEET_SLOTS; m++) {
        if (!d.minute_exists(m)) continue;
        switch (state_of(d, m)) {
            case CellState::Data:
                codes[m] = FLEET_CODES[d.minutes[m].faults > 0 ? FLEET_FAULTS : FLEET_GOOD];
                break;
            case CellState::Silent:
                codes[m] = FLEET_CODES[FLEET_SILENT];
                break;
            case CellState::Lost:
                codes[m] = FLEET_CODES[FLEET_LOST];
                break;
            case CellState::Stopped:
                codes[m] = FLEET_CODES[FLEET_STOPPED];
                break;
            case CellState::Future:
                break;
        }
    }
    return codes;
}

// Codes as runs: "g1380n60".
std::string runs_of(const std::string& codes) {
    std::string out;
    for (size_t i = 0; i < codes.size();) {
        size_t j = i;
        while (j < codes.size() && codes[j] == codes[i]) j++;
        out += codes[i] + std::to_string(j - i);
        i = j;
    }
    return out;
}

bool codes_from_runs(const std::string& runs, std::string* codes) {
    codes->clear();
    for (size_t i = 0; i < runs.size();) {
        char c = runs[i++];
        if (!strchr(FLEET_CODES, c) || i >= runs.size() || !isdigit(static_cast<unsigned char>(runs[i])))
            return false;
        size_t n = 0;
        while (i < runs.size() && isdigit(static_cast<unsigned char>(runs[i])) && n <= FLEET_SLOTS)
            n = n * 10 + static_cast<size_t>(runs[i++] - '0');
        if (codes->size() + n > FLEET_SLOTS) return false;
        codes->append(n, c);
    }
    return codes->size() == FLEET_SLOTS;
}

struct CachedDay {
    std::string key, codes;
};

std::map<int, CachedDay> read_cache(const std::string& text) {
    std::map<int, CachedDay> cache;
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != CACHE_HEAD) return cache;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        int date;
        CachedDay d;
        std::string runs;
        if (words >> date >> d.key >> runs && codes_from_runs(runs, &d.codes)) cache[date] = d;
    }
    return cache;
}

std::string html_escaped(const std::string& raw) {
    std::string out;
    for (char c : raw) {
        if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else if (c == '&')
            out += "&amp;";
        else
            out += c;
    }
    return out;
}

// The day's page and picture, as kestreport shows a day.
// The day's minutes as a strip, a rectangle a run of one state, in the
// page's colours, with the hours marked: drawn from the codes, so that it
// costs little more than the codes themselves.
std::string day_picture(const std::string& codes) {
    std::string svg =
        "<svg width=1440 height=58 viewBox=\"0 0 1440 58\" role=img aria-label=\"the day's minutes\">"
        "<defs><pattern id=p width=5 height=5 patternUnits=userSpaceOnUse patternTransform=rotate(45)>"
        "<rect width=5 height=5 fill=#fff /><rect width=2 height=5 fill=#777 /></pattern></defs>\n";
    for (size_t i = 0; i < codes.size();) {
        size_t j = i;
        while (j < codes.size() && codes[j] == codes[i]) j++;
        int state = static_cast<int>(strchr(FLEET_CODES, codes[i]) - FLEET_CODES);
        appendf(&svg,
                "<rect x=%zu y=0 width=%zu height=40 fill=\"%s\"><title>%02zu:%02zu-%02zu:%02zu "
                "%s</title></rect>\n",
                i, j - i, state == FLEET_PENDING ? "url(#p)" : FLEET_COLOURS[state], i / 60, i % 60, j / 60,
                j % 60, FLEET_STATE_NAMES[state]);
        i = j;
    }
    for (int h = 0; h <= 24; h++) {
        appendf(&svg, "<line x1=%d x2=%d y1=40 y2=%d stroke=#000 />", h * 60, h * 60, h % 3 ? 44 : 47);
        if (h % 3 == 0 && h < 24) appendf(&svg, "<text x=%d y=57 font-size=10>%02d:00</text>", h * 60 + 2, h);
    }
    return svg + "</svg>\n";
}

// The day's page: its picture, and its text as kestreport gives it.
void write_day_page(const std::string& dir, const std::string& site, const DaySummary& day,
                    const std::string& codes) {
    char name[32];
    snprintf(name, sizeof name, "/%08d.html", day.date);
    std::string text;
    print_text({day}, site, &text);
    put_file(dir + name, "<!doctype html><html lang=en><meta charset=utf-8><title>" + site + " " +
                             date_text(day.date) + "</title><p><a href=index.html>" + site +
                             "</a> &middot; <a href=../index.html>fleet</a><h1>" + site + " " +
                             date_text(day.date) + "</h1>\n" + day_picture(codes) + "<pre>" +
                             html_escaped(text) + "</pre>\n");
}

// The zone a site's days are in: site.conf's zone=, UTC when none.
std::string zone_of(const std::string& dir) {
    std::ifstream in(dir + "/" + SITE_CONF);
    std::string line, zone = "UTC";
    while (std::getline(in, line)) {
        if (line.rfind("zone=", 0) != 0) continue;
        std::string z = line.substr(5);
        bool sane =
            !z.empty() && z[0] != '/' && z.find("..") == std::string::npos &&
            z.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789/_+-") ==
                std::string::npos;
        if (sane) zone = z;
    }
    return zone;
}

// The times of a day's minute slots: by the clock from midnight on a day
// of 24 hours, asked of the zone on a day the clocks change.
struct SlotClock {
    int date;
    long long midnight;
    bool regular;
    explicit SlotClock(int d)
        : date(d), midnight(local_time(d, 0)), regular(local_time(next_date(d), 0) - midnight == 86400) {}
    long long at(int m) const { return regular ? midnight + m * 60LL : local_time(date, m); }
};

// The slots of a day as the fleet sees them now: what the files say, and
// where they say nothing of a minute the site may still hold (its manifest
// names the day's file, or the minute came after the site's last push),
// not yet arrived; before the site's start and after now, none expected.
void overlay(FleetDay* day, const SiteFiles& f, int first_date, long long now) {
    bool pending_day = f.pending_days.count(day->date) > 0;
    SlotClock clock(day->date);
    const long long day_end = clock.at(FLEET_SLOTS - 1) + 60;
    // Most days lie wholly before the last push and now: as the files say.
    if (day->date < first_date)
        day->codes.assign(FLEET_SLOTS, FLEET_CODES[FLEET_NONE]);
    else if (pending_day || day_end > f.last_push || day_end > now)
        for (int m = 0; m < FLEET_SLOTS; m++) {
            char& c = day->codes[static_cast<size_t>(m)];
            if (c == FLEET_CODES[FLEET_NONE]) continue;
            long long t = clock.at(m);
            bool data = c == FLEET_CODES[FLEET_GOOD] || c == FLEET_CODES[FLEET_FAULTS];
            if (t >= now)
                c = FLEET_CODES[FLEET_NONE];
            else if (!data && (pending_day || t + 60 > f.last_push))
                c = FLEET_CODES[FLEET_PENDING];
        }
    int by_code[128] = {};
    for (char c : day->codes) by_code[c & 127]++;
    for (int st = 0; st < FLEET_STATES; st++) day->count[st] = by_code[static_cast<int>(FLEET_CODES[st])];
}

void find_gaps(FleetSite* s) {
    FleetGap open;
    auto close = [&]() {
        if (open.minutes >= FLEET_GAP_MIN) s->gaps.push_back(open);
        open = FleetGap();
    };
    for (const FleetDay& d : s->days) {
        SlotClock clock(d.date);
        for (int m = 0; m < FLEET_SLOTS; m++) {
            char c = d.codes[static_cast<size_t>(m)];
            if (c == FLEET_CODES[FLEET_NONE]) continue;
            if (c == FLEET_CODES[FLEET_GOOD] || c == FLEET_CODES[FLEET_FAULTS]) {
                close();
                s->newest_packet = clock.at(m) + 60;
                continue;
            }
            long long t = clock.at(m);
            if (open.minutes == 0) open.from = t;
            open.to = t + 60;
            open.minutes++;
            open.pending += c == FLEET_CODES[FLEET_PENDING];
        }
    }
    close();
}

// Day pages of days the window has left: the page's folder holds the
// window, not the archive's years.
void prune_pages(const std::string& dir, int window_first) {
    DIR* d = opendir(dir.c_str());
    while (struct dirent* e = d ? readdir(d) : nullptr) {
        int date;
        char tail[8];
        if (strlen(e->d_name) <= 13 && sscanf(e->d_name, "%8d.%4s", &date, tail) == 2 &&
            date < window_first && (!strcmp(tail, "html") || !strcmp(tail, "svg")))
            unlinkat(dirfd(d), e->d_name, 0);
    }
    if (d) closedir(d);
}

}  // namespace

bool put_file(const std::string& path, const std::string& text) {
    std::string tmp = path + ".tmp";
    FILE* f = fopen(tmp.c_str(), "w");
    bool ok = f && fwrite(text.data(), 1, text.size(), f) == text.size();
    if (f && fclose(f) != 0) ok = false;
    if (ok && rename(tmp.c_str(), path.c_str()) == 0) return true;
    fprintf(stderr, "kestarchive: fleet: %s: %s\n", path.c_str(), strerror(errno));
    unlink(tmp.c_str());
    return false;
}

FleetSite fleet_site(const std::string& site, const FleetOptions& o) {
    const std::string dir = o.root + "/" + site;
    FleetSite s;
    s.name = site;
    s.zone = zone_of(dir);
    setenv("TZ", s.zone.c_str(), 1);
    tzset();
    SiteFiles f = files_of(dir);
    s.last_push = f.last_push;
    s.silent = o.now - s.last_push > o.silent_after;
    s.pending_files = f.pending_files;
    // A site expected from the day it was added, or from its first file.
    struct stat st;
    s.first_date = f.first_date;
    if (stat((dir + "/" + SITE_CONF).c_str(), &st) == 0) {
        int added = local_date(st.st_mtim.tv_sec);
        if (s.first_date == 0 || added < s.first_date) s.first_date = added;
    }
    if (!o.status_dir.empty()) read_site_status(o.status_dir + "/" + site, &s.checks);

    const std::string pages = o.out + "/" + site;
    mkdir(pages.c_str(), 0755);
    const std::string cache_path = o.cache + "/" + site;
    const std::string cached = read_text(cache_path);
    std::map<int, CachedDay> cache = read_cache(cached);
    std::string kept = std::string(CACHE_HEAD) + "\n";
    int today = o.last_date ? o.last_date : local_date(o.now), date = today;
    for (int i = 1; i < o.days; i++) date = date_before(date);
    const int window_first = date;
    // A day whose files are those it was summarised from comes from the cache.
    struct Slot {
        int date;
        std::string key, codes;
    };
    std::vector<Slot> slots;
    for (; date <= today; date = next_date(date)) {
        Slot slot{date, hash_of(inputs_of(f, date, date).key), ""};
        auto held = cache.find(date);
        char page[64];
        snprintf(page, sizeof page, "/%08d.html", date);
        if (held != cache.end() && held->second.key == slot.key && access((pages + page).c_str(), F_OK) == 0)
            slot.codes = held->second.codes;
        slots.push_back(std::move(slot));
    }
    // The rest, a run of days at a time, each file read once, with the day
    // before the run for what the logger was doing when it began.
    for (size_t i = 0, j; i < slots.size(); i = j) {
        for (j = i; j < slots.size() && slots[j].codes.empty(); j++) {
        }
        if (j == i) {
            j++;
            continue;
        }
        const int from = date_before(slots[i].date), to = slots[j - 1].date;
        DayInputs in = inputs_of(f, from, to);
        bool complete;
        std::vector<DaySummary> days = summarise_files(in.status, in.messages, from, to, &complete);
        for (size_t k = i; k < j; k++) {
            const DaySummary& d = days[k - i + 1];
            slots[k].codes = codes_of(d);
            write_day_page(pages, site, d, slots[k].codes);
            s.made++;
        }
    }
    for (Slot& slot : slots) {
        kept += std::to_string(slot.date) + " " + slot.key + " " + runs_of(slot.codes) + "\n";
        FleetDay day;
        day.date = slot.date;
        day.codes = std::move(slot.codes);
        overlay(&day, f, s.first_date, o.now);
        s.days.push_back(std::move(day));
    }
    if (kept != cached) put_file(cache_path, kept);
    if (s.made) prune_pages(pages, window_first);
    find_gaps(&s);
    // Older than the window: the end of the newest day a status file holds.
    if (s.newest_packet == 0 && !f.status.empty() && f.status.back().date < window_first)
        s.newest_packet = local_time(next_date(f.status.back().date), 0);
    setenv("TZ", "UTC", 1);
    tzset();
    return s;
}
