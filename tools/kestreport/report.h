// kestreport: a day, or several, of a logger's data directory at a glance.
// This header holds the summary and how it is made from the files; what is
// printed or drawn of it lives in render.cpp, the command line in main.cpp.
#pragma once

#include <map>
#include <string>
#include <vector>

constexpr int MINUTES_A_DAY = 1440;

// What happened in one minute.
struct MinuteSummary {
    int status = 0;     // status packets stamped with this minute
    int faults = 0;     // fault records
    int framing = 0;    // framing failures
    int losses = 0;     // the serial line lost
    bool lost = false;  // the line was down for some of it
};

// One fault text (as "-12V"): how often, and when first and last (seconds of the day).
struct FaultSummary {
    int count = 0;
    int first = 0;
    int last = 0;
};

// One of the logger's own events: starts, stops, the line lost and back,
// comments, clock steps.
struct Event {
    int second;  // of the day
    std::string text;
};

struct DaySummary {
    int date = 0;  // yyyymmdd
    std::string site = "WXX";
    MinuteSummary minutes[MINUTES_A_DAY];
    int message_packets = 0;        // STX packets, which carry no stamp
    int status_without_minute = 0;  // status packets too short to carry one
    std::map<std::string, FaultSummary> faults;
    std::vector<Event> events;

    int status_packets() const;
    int minutes_with_data() const;
};

// A run of minutes without a status packet: first and last minute of it.
struct Gap {
    int from;
    int to;
};

constexpr int GAP_MINUTES_MIN = 3;  // shorter quiet runs are no gap
std::vector<Gap> gaps_of(const DaySummary& day);

// The days from first to last (yyyymmdd) of the data directory dir, read
// from its status files and message logs (plain or gzip-compressed).
// Unreadable files are reported on standard error and passed over.
std::vector<DaySummary> summarise(const std::string& dir, int first, int last);

// Calendar helpers on yyyymmdd dates.
int next_date(int date);
int date_before(int date);
bool parse_date(const std::string& text, int* date);  // "2015-06-16"
std::string date_text(int date);                      // "2015-06-16"

// Output.
void print_text(const std::vector<DaySummary>& days, const std::string& dir, std::string* out);
void print_csv(const std::vector<DaySummary>& days, std::string* out);
void print_terminal(const std::vector<DaySummary>& days, std::string* out);
void print_summary_row(const DaySummary& day, const std::string& dir, std::string* out);
std::string summary_header();
std::string svg_of(const std::vector<DaySummary>& days);
