// kestreport: a day, or several, of a logger's data directory at a glance.
// This header holds the summary and how it is made from the files; what is
// printed or drawn of it lives in render.cpp, the command line in main.cpp.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

constexpr int MINUTES_A_DAY = 1440;

// What happened in one minute.
struct MinuteSummary {
    int status = 0;           // status packets stamped with this minute
    int faults = 0;           // fault records
    int framing = 0;          // framing failures
    int losses = 0;           // the serial line lost
    bool lost = false;        // the line was down for some of it
    bool not_stored = false;  // packets that came in it could not be stored
    bool stopped = false;     // the logger was not running
    bool active = false;      // a packet or record came in it: the logger ran
};

// One fault text (as "-12V"): how often, and when first and last (seconds of the day).
struct FaultSummary {
    int count = 0;
    int first = 0;
    int last = 0;
};

// One of the logger's own events: starts, stops, the line lost and back,
// comments, clock steps, packets not stored, and the last sign of life of a
// run that ended without stopping (a power cut, a crash or a kill).
enum class EventKind { Start, Stop, Comment, Ended, Other };
struct Event {
    int second;  // of the day
    std::string text;
    EventKind kind = EventKind::Other;
};

struct DaySummary {
    int date = 0;                        // yyyymmdd
    std::string site;                    // as the parameter file last said, "" when unknown
    bool has_files = false;              // a status file, or records, for this day
    std::string unreadable;              // why the directory could not be read; "" when it could
    int minutes_so_far = MINUTES_A_DAY;  // today: the minutes up to now; the rest are still to come
    MinuteSummary minutes[MINUTES_A_DAY];
    int message_packets = 0;        // STX packets, which carry no stamp
    int status_without_minute = 0;  // status packets too short to carry one
    long broken_bytes = 0;          // torn packets and NUL runs, skipped
    long unreadable_records = 0;    // records of a time or count that cannot be, skipped
    long packets_not_stored = 0;    // as the logger's records count them
    std::map<std::string, FaultSummary> faults;
    std::vector<Event> events;
    // The daylight-saving changes of the report's time zone: the hour that
    // does not exist, and the hour that happens twice; -1 for none.
    int missing_hour = -1;
    int repeated_hour = -1;

    int status_packets() const;
    int minutes_with_data() const;
    // The minutes the day has had: not the hour a spring day skips, nor,
    // today, the minutes still to come.
    int minutes_had() const;
    // The status packets a minute with data usually has: the median.
    int usual_rate() const;
    bool minute_exists(int minute) const { return missing_hour < 0 || minute / 60 != missing_hour; }
};

// A run of minutes without a status packet: first and last minute of it.
struct Gap {
    int from;
    int to;
};

constexpr int GAP_MINUTES_MIN = 3;  // shorter quiet runs are no gap
std::vector<Gap> gaps_of(const DaySummary& day);

// The days from first to last (yyyymmdd) of the data directory dir, read
// from its status files and message logs (plain or gzip-compressed), in the
// time zone TZ names. A directory or file that cannot be read whole is
// reported on standard error ("PATH: read N bytes: reason") and *complete
// set false; what could be read is summarised.
std::vector<DaySummary> summarise(const std::string& dir, int first, int last, bool* complete);
// The same for one status file of the day file_date and one message log,
// given as their bytes (what the fuzz targets feed), now being no day of them.
std::vector<DaySummary> summarise_bytes(int file_date, std::string_view status, std::string_view messages,
                                        int first, int last);
// The same for a status file given in parts, read one after the other: cut
// after each EOT, its summary is the whole file's.
std::vector<DaySummary> summarise_parts(int file_date, const std::vector<std::string_view>& status, int first,
                                        int last);
// The same for files named one by one (as the archive host keeps them,
// where a name may be held twice): status files with the day each is
// named for, and message logs. No logger is taken to run on them.
std::vector<DaySummary> summarise_files(const std::vector<std::pair<int, std::string>>& status,
                                        const std::vector<std::string>& messages, int first, int last,
                                        bool* complete);
// Every record of those days, a line each: "yyyy-mm-dd hh:mm:ss KIND TEXT",
// KIND the name the formats give the kind it was read as.
std::string records_of(const std::string& dir, int first, int last, bool* complete);

// Calendar helpers on yyyymmdd dates.
int next_date(int date);
int date_before(int date);
bool parse_date(const std::string& text, int* date);  // "2015-06-16"
std::string date_text(int date);                      // "2015-06-16"

// The time zone the report is made in, as shown in its title.
std::string zone_name();
// The day and minute of the day it is now in that zone (yyyymmdd).
void now_in_zone(int* date, int* minute);

// Marks, in days, the minutes of today that are still to come.
void mark_future(std::vector<DaySummary>* days);

// Output.
// Appends printf-formatted text (at most 1 kB a call).
void appendf(std::string* out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void print_text(const std::vector<DaySummary>& days, const std::string& dir, std::string* out);
void print_csv(const std::vector<DaySummary>& days, std::string* out);
void print_terminal(const std::vector<DaySummary>& days, std::string* out);
void print_summary_row(const DaySummary& day, const std::string& dir, std::string* out);
std::string summary_header();
std::string svg_of(const std::vector<DaySummary>& days);

// What a minute's cell shows: the logger not running, the line lost, the
// instrument silent while the logger ran, data, or the time not come yet.
enum class CellState { Stopped, Lost, Silent, Data, Future };
// The one judgement of a minute, for the picture, the text and the CSV.
CellState state_of(const DaySummary& day, int minute);
