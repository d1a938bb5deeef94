// The year run's checks of what the site and the archive hold at its end,
// and its table of months.
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "e2e/year.h"
#include "formats/formats.h"

namespace fs = std::filesystem;

namespace {

std::string read_any(const fs::path& p) {
    std::string out;
    gzFile f = gzopen(p.c_str(), "rb");  // reads a plain file as it is
    if (!f) return out;
    char buf[65536];
    for (int n; (n = gzread(f, buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
    gzclose(f);
    return out;
}

// One day's file as the record has it: the site's copy while it keeps
// one, else the archive's (the longest of a name sealed twice).
struct DayFile {
    std::string text, where;
    bool at_site = false;
};

using Files = std::map<std::pair<DailyFile, int>, DayFile>;

void collect(const fs::path& dir, bool site, Files* files) {
    std::error_code ec;
    for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::string name = it->path().filename();
        // A name the archive sealed twice carries the copy's hash: NAME.HASH.txt.
        std::string plain = name;
        size_t dot = name.find('.');
        if (dot != std::string::npos && name.compare(dot, 4, ".txt") != 0)
            plain = name.substr(0, dot) + name.substr(name.find('.', dot + 1));
        DailyFile kind;
        int date;
        bool gz;
        if (!parse_daily_file_name(plain, &kind, &date, &gz)) continue;
        DayFile& f = (*files)[{kind, date}];
        if (f.at_site) continue;
        std::string text = read_any(it->path());
        if (site || text.size() > f.text.size()) f = {text, it->path().string(), site};
    }
}

long count_packets(const std::string& text) {
    return static_cast<long>(std::count(text.begin(), text.end(), '\x04'));
}

void check_packets(YearRun* run, const Files& files) {
    long stored = 0, lost = 0, misplaced = 0;
    std::string first_misplaced;
    for (const auto& [key, f] : files) {
        std::string month = std::to_string(key.second / 100);
        month = month.substr(0, 4) + "-" + month.substr(4, 2);
        if (key.first == DailyFile::Status) {
            long n = count_packets(f.text);
            stored += n;
            run->months[month].stored += n;
            // Each status packet carries the logger's clock: the file's day.
            for (size_t at = f.text.find('\x01'); at != std::string::npos; at = f.text.find('\x01', at + 1)) {
                int date, minute;
                if (at + STAMP_POS + PACKET_STAMP_LEN > f.text.size()) break;
                if (!parse_stamp(f.text.c_str() + at + STAMP_POS, &date, &minute) || date != key.second) {
                    if (misplaced++ == 0)
                        first_misplaced = f.where + ": " + f.text.substr(at + STAMP_POS, 12);
                }
            }
            continue;
        }
        std::istringstream lines(f.text);
        for (std::string line; std::getline(lines, line);) {
            RecordHead head;
            std::vector<std::string_view> fields;
            if (!parse_record_head(line, &head)) continue;
            if (recognise_record(std::string_view(line).substr(head.text), &fields) ==
                RecordKind::NotStored) {
                long n = std::atol(std::string(fields[0]).c_str());
                lost += n;
                std::string when = std::to_string(head.date / 100);  // the record's own month
                run->months[when.substr(0, 4) + "-" + when.substr(4, 2)].lost += n;
            }
        }
    }
    if (stored + lost != run->sent)
        run->failures.push_back(std::to_string(run->sent) + " packets sent, " + std::to_string(stored) +
                                " stored and " + std::to_string(lost) + " counted lost");
    if (misplaced)
        run->failures.push_back(std::to_string(misplaced) + " packets in a file of another day, first " +
                                first_misplaced);
}

// Numbers restart at 0 or 1 with each new day of the records and rise by
// at most one from record to record within a day.
void check_numbers(YearRun* run, const Files& files) {
    for (const auto& [key, f] : files) {
        if (key.first != DailyFile::Messages) continue;
        std::istringstream lines(f.text);
        RecordHead last;
        bool any = false;
        for (std::string line; std::getline(lines, line);) {
            RecordHead h;
            if (!parse_record_head(line, &h)) continue;
            bool ok = any && h.date == last.date ? (h.number == last.number || h.number == last.number + 1)
                                                 : (!any || h.number <= 1);
            if (!ok) {
                run->failures.push_back(f.where + ": record " + std::to_string(h.number) + " after " +
                                        std::to_string(last.number) + ": " + line);
                break;
            }
            last = h;
            any = true;
        }
    }
}

int next_date(int date) {
    struct tm tm = {};
    tm.tm_year = date / 10000 - 1900;
    tm.tm_mon = date / 100 % 100 - 1;
    tm.tm_mday = date % 100 + 1;
    tm.tm_hour = 12;
    timegm(&tm);
    return (tm.tm_year + 1900) * 10000 + (tm.tm_mon + 1) * 100 + tm.tm_mday;
}

void check_days(YearRun* run, const Files& files) {
    std::set<int> skipped(run->skipped_dates.begin(), run->skipped_dates.end());
    for (int d = run->start_date; d <= run->end_date; d = next_date(d)) {
        if (skipped.count(d)) continue;
        if (!files.count({DailyFile::Status, d}))
            run->failures.push_back("no status file of " + std::to_string(d) +
                                    " at the site or in the archive");
    }
}

// Every closed file at the site is in the archive as it is.
void check_archive(YearRun* run) {
    std::map<DailyFile, std::pair<int, std::string>> newest;  // the files the logger may still write
    std::vector<std::pair<fs::path, std::pair<DailyFile, int>>> site;
    for (const auto& e : fs::directory_iterator(run->site_dir + "/data")) {
        DailyFile kind;
        int date;
        bool gz;
        if (!parse_daily_file_name(e.path().filename().string(), &kind, &date, &gz)) continue;
        site.push_back({e.path(), {kind, date}});
        auto& n = newest[kind];
        if (date > n.first) n = {date, e.path().filename()};
    }
    for (const auto& [path, key] : site) {
        if (newest[key.first].second == path.filename()) continue;
        std::string name = path.filename();
        if (name.ends_with(".gz")) name.resize(name.size() - 3);
        std::string mine = read_any(path), sealed = read_any(fs::path(run->archive_dir) / "data" / name);
        if (mine != sealed)
            run->failures.push_back(
                path.filename().string() + " is closed and not in the archive as it is (" +
                std::to_string(mine.size()) + " bytes here, " + std::to_string(sealed.size()) + " there)");
    }
}

// What the site keeps: nothing older than keep_days (and the day the
// archive confirmed it), nothing uncompressed past compress_after, no more
// reports than keep_reports. The message log the logger writes to keeps
// the name of the day it started, and stays.
void check_retention(YearRun* run) {
    auto days_before_end = [&](int date) {
        struct tm a = {}, b = {};
        a.tm_year = date / 10000 - 1900, a.tm_mon = date / 100 % 100 - 1, a.tm_mday = date % 100;
        b.tm_year = run->end_date / 10000 - 1900, b.tm_mon = run->end_date / 100 % 100 - 1,
        b.tm_mday = run->end_date % 100;
        return static_cast<int>((timegm(&b) - timegm(&a)) / 86400);
    };
    int oldest = 0, plain_oldest = 0;
    for (const auto& e : fs::directory_iterator(run->site_dir + "/data")) {
        DailyFile kind;
        int date;
        bool gz;
        if (!parse_daily_file_name(e.path().filename().string(), &kind, &date, &gz)) continue;
        if (kind == DailyFile::Messages && date == run->start_date && !gz) continue;
        oldest = std::max(oldest, days_before_end(date));
        if (!gz) plain_oldest = std::max(plain_oldest, days_before_end(date));
    }
    if (oldest > run->keep_days + 2)
        run->failures.push_back("the site keeps a file " + std::to_string(oldest) +
                                " days old (keep_days=" + std::to_string(run->keep_days) + ")");
    if (plain_oldest > run->compress_after + 2)
        run->failures.push_back("an uncompressed file " + std::to_string(plain_oldest) + " days old");
    long reports = 0;
    for (const auto& e : fs::directory_iterator(run->site_dir + "/reports"))
        reports += e.path().extension() == ".txt";
    if (reports > run->keep_reports + 1)
        run->failures.push_back(std::to_string(reports) + " daily reports kept, more than " +
                                std::to_string(run->keep_reports));
}

int utc_date(long long t) {
    time_t tt = static_cast<time_t>(t);
    struct tm tm;
    gmtime_r(&tt, &tm);
    return (tm.tm_year + 1900) * 10000 + (tm.tm_mon + 1) * 100 + tm.tm_mday;
}

void check_jobs(YearRun* run) {
    std::map<long long, int> per_hour;
    for (long long t : run->alert_walls) {
        time_t tt = static_cast<time_t>(t);
        struct tm tm;
        localtime_r(&tt, &tm);
        long long key = ((tm.tm_year * 1000LL + tm.tm_yday) * 100 + tm.tm_hour);
        if (++per_hour[key] == 2)
            run->failures.push_back("two alerts in the hour of " + std::to_string(local_date(t)) + " " +
                                    std::to_string(tm.tm_hour) + ":00");
    }
    std::set<long long> jumped(run->jumped_hours.begin(), run->jumped_hours.end());
    for (long long h = run->first_hour; h <= run->last_hour; h++)
        if (!run->archive_hours.count(h) && !jumped.count(h))
            run->failures.push_back("no archive run in the UTC hour of " +
                                    std::to_string(local_date(h * 3600)) + " (" + std::to_string(h % 24) +
                                    ":00 UTC)");
    for (long long h = run->first_hour; h <= run->last_hour; h += 24) {
        int day = utc_date(h * 3600);
        auto n = run->daily_runs.find(day);
        if (n == run->daily_runs.end() || n->second != 1)
            run->failures.push_back("the daily job ran " +
                                    std::to_string(n == run->daily_runs.end() ? 0 : n->second) +
                                    " times on " + std::to_string(day) + " (UTC)");
    }
    if (run->fds_last != run->fds_first)
        run->failures.push_back("the logger held " + std::to_string(run->fds_first) +
                                " descriptors on day 1 and " + std::to_string(run->fds_last) + " at the end");
    if (run->rss_max > run->rss_first + run->rss_first / 20)
        run->failures.push_back("the logger's memory grew from " + std::to_string(run->rss_first) +
                                " kB to " + std::to_string(run->rss_max) + " kB");
}

}  // namespace

void check_year(YearRun* run) {
    Files files;
    collect(run->site_dir + "/data", true, &files);
    collect(run->archive_dir + "/data", false, &files);
    check_packets(run, files);
    check_numbers(run, files);
    check_days(run, files);
    check_archive(run);
    check_retention(run);
    check_jobs(run);
    // The table's day-one figures for those who read it.
    if (run->failures.size() > 20) run->failures.resize(20);
}

void print_months(const YearRun& run) {
    printf("%-7s %7s %7s %5s %8s %6s %5s %6s %4s %7s  %s\n", "month", "sent", "stored", "lost", "archive",
           "failed", "daily", "alerts", "fds", "rss kB", "edges entered");
    for (const auto& [month, m] : run.months) {
        std::string edges;
        for (const std::string& e : m.edges) edges += (edges.empty() ? "" : "; ") + e;
        printf("%-7s %7ld %7ld %5ld %8d %6d %5d %6d %4d %7ld  %s\n", month.c_str(), m.sent, m.stored, m.lost,
               m.archive_ok, m.archive_failed, m.daily, m.alerts, m.fds, m.rss_kb, edges.c_str());
    }
}
