// A year of a site on a simulated clock: what the run keeps of what it did,
// and the checks of what the site and the archive hold at its end.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// What the run did and saw in one simulated month (UTC, "YYYY-MM").
struct MonthFigures {
    long sent = 0, stored = 0, lost = 0;
    int archive_ok = 0, archive_failed = 0, daily = 0, alerts = 0;
    std::vector<std::string> edges;
    int fds = -1;
    long rss_kb = 0;
};

struct YearRun {
    std::string site_dir;     // the logger's working directory
    std::string archive_dir;  // the archive host's folder of the site
    std::string zone;
    int start_date = 0, end_date = 0;  // local yyyymmdd of the first and last day
    std::vector<int> skipped_dates;    // local days the clock jumped over
    long sent = 0;
    int keep_days = 0, compress_after = 0, keep_reports = 0;
    std::map<std::string, MonthFigures> months;
    std::vector<long long> alert_walls;       // each alert, when its mail ran (wall, s)
    std::map<int, int> daily_runs;            // UTC yyyymmdd: runs
    std::map<long long, int> archive_hours;   // UTC hour (s / 3600): runs that began in it
    long long first_hour = 0, last_hour = 0;  // UTC hours (s / 3600) the run spanned
    std::vector<long long> jumped_hours;      // UTC hours the clock jumped over
    int fds_first = -1, fds_last = -1, fds_max = -1;
    long rss_first = 0, rss_max = 0;
    std::vector<std::string> failures;
};

// The checks of the end: every packet stored once or counted lost, each
// in the file of its day; the message numbers; the archive's copies; what
// the site keeps; the alerts, the daily job and the archive job by hour;
// descriptors and memory. Appends to run->failures.
void check_year(YearRun* run);
// The table of the run, a line a month.
void print_months(const YearRun& run);
// Local yyyymmdd of a moment in the process's zone.
int local_date(long long t);

// --- the processes and the archive host (year_host.cpp) ---------------------------

constexpr const char* YEAR_SITE = "kest1";  // the site, its archive user and folder

[[noreturn]] void die(const char* what);
pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, int in, int out,
            int err, const std::string& cwd);
// Runs a command to its end, its output appended to `out` (or this one's).
int run_command(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                const std::string& out = "", const std::string& cwd = ".");
int sh(const std::string& command);
std::string self_exe();
// What ssh would do for the site's key (this program, called as "ssh").
int ssh_stand_in(int argc, char** argv);
// The archive host in this mount namespace, its site added; its folder.
std::string setup_archive_host(const std::string& work, const std::string& source, const std::string& build);

// --- the calendar ------------------------------------------------------------------

// "YYYY-MM-DD hh:mm:ss" in UTC, or in the local zone with its name.
std::string time_text(long long t, bool local);
// The OnCalendar= of a shipped timer.
std::string on_calendar(const std::string& unit);
// The elapses of a calendar from `from` on, as systemd computes them, in UTC s.
std::vector<long long> elapses(const std::string& calendar, long long from, int count);
// The moments the process's zone changes its offset between from and to.
std::vector<long long> zone_changes(long long from, long long to);
