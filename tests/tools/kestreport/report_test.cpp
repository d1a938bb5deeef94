// kestreport's summary from data files laid out by hand: what counts for
// which day and minute.
#include "report.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "testutil.h"

namespace {

// A status packet stamped "yymmdd hh:mm" (days 1-9 with a leading blank).
std::string stamped_packet(const std::string& stamp, const std::string& fault = "0000") {
    std::string p = "\x01K0001 " + stamp + " ";
    while (p.size() < 86) p += '.';
    return p + fault + "\x04";
}

class ReportSummaryTest : public StateTest {
   protected:
    void write(const std::string& name, const std::string& text) {
        std::filesystem::create_directory("data");
        std::ofstream("data/" + name, std::ios::binary) << text;
    }
};

}  // namespace

TEST_F(ReportSummaryTest, EachPacketAndRecordCountsForItsOwnMinute) {
    // 23:59 of the 5th stored after midnight, in the 6th's file; a short
    // status packet; a message packet; the 6th has a leading blank.
    write("KES20150605.txt", stamped_packet("150605 23:58"));
    write("KES20150606.txt", stamped_packet("150605 23:59") + stamped_packet("1506 6 00:00") +
                                 stamped_packet("1506 6 00:00") + "\x01short\x04" + "\x02 MSG 1\x04");
    // The message log is named for the day its logger started, weeks before.
    write("MESKES20150520.txt",
          "0,20/05/2015,08:00:00, starting KESTLOG (build 2015-Jun-19)\n"
          "0,20/05/2015,08:00:00, site=ABC\n"
          "4, 5/06/2015,23:59:30, serial port /dev/kest lost: hang-up\n"
          "0, 6/06/2015,00:01:10, serial port /dev/kest reopened\n"
          "1, 6/06/2015,00:02:03, kest fault code=0029 ,-12V,+5V,DC offset\n"
          "2, 6/06/2015,00:03:04, kest packet not between 0x01/2 and 0x04, 01 41\n"
          "2, 6/06/2015,00:04:05, comment: < pump serviced\n"
          ">\n"
          "3, 6/06/2015,00:05:00, stopped by signal SIGTERM\n");
    bool complete = false;
    std::vector<DaySummary> days = summarise("data", 20150605, 20150606, &complete);
    EXPECT_TRUE(complete);
    ASSERT_EQ(days.size(), 2u);
    const DaySummary& fifth = days[0];
    const DaySummary& sixth = days[1];
    EXPECT_EQ(fifth.minutes[23 * 60 + 58].status, 1);
    EXPECT_EQ(fifth.minutes[23 * 60 + 59].status, 1) << "the 23:59 packet in the next day's file";
    EXPECT_EQ(fifth.minutes[23 * 60 + 59].losses, 1);
    EXPECT_TRUE(fifth.minutes[23 * 60 + 59].lost);
    EXPECT_EQ(sixth.minutes[0].status, 2);
    EXPECT_EQ(sixth.status_without_minute, 1);
    EXPECT_EQ(sixth.message_packets, 1);
    EXPECT_EQ(sixth.status_packets(), 3);
    EXPECT_TRUE(sixth.minutes[0].lost && sixth.minutes[1].lost) << "lost across midnight until reopened";
    EXPECT_FALSE(sixth.minutes[2].lost);
    EXPECT_EQ(sixth.minutes[2].faults, 1);
    EXPECT_EQ(sixth.minutes[3].framing, 1);
    EXPECT_EQ(sixth.site, "ABC");
    EXPECT_EQ(sixth.broken_bytes, 0) << "a short packet is whole";
    ASSERT_EQ(sixth.faults.size(), 3u);
    EXPECT_EQ(sixth.faults.at("DC offset").count, 1);
    EXPECT_EQ(sixth.faults.at("-12V").first, 123);
    ASSERT_EQ(sixth.events.size(), 3u);
    EXPECT_EQ(sixth.events[0].text, "line back");
    EXPECT_EQ(sixth.events[1].text, "comment:  pump serviced");
    EXPECT_EQ(sixth.events[2].text, "stopped (SIGTERM)");
    EXPECT_EQ(fifth.events.size(), 1u) << "the start of the 20th is not the 5th's";

    std::vector<Gap> gaps = gaps_of(sixth);
    ASSERT_FALSE(gaps.empty());
    EXPECT_EQ(gaps[0].from, 1);
    EXPECT_EQ(gaps.back().to, MINUTES_A_DAY - 1);
}

// What a power cut leaves (a packet cut short, a NUL run) is skipped and
// counted, never taken for a packet; runs of the logger give the minutes it
// was not running; packets not stored are marked where they were lost.
TEST_F(ReportSummaryTest, BrokenPacketsAreSkippedAndTheLoggersRunsAreTold) {
    const std::string torn = "\x01K0001 150616 10:0";
    write("KES20150616.txt", stamped_packet("150616 10:00") + torn + std::string(100, '\0') +
                                 stamped_packet("150616 10:05") + std::string(300, '\0') + "\x04" +
                                 stamped_packet("150616 10:06") + stamped_packet("150616 10:20") + torn);
    write("MESKES20150616.txt",
          "0,16/06/2015,09:00:00, starting KESTLOG (build 2015-Jun-19)\n"
          "1,16/06/2015,10:01:30, keyboard quit command\n"
          "0,16/06/2015,10:05:00, starting KESTLOG (build 2015-Jun-19)\n"
          "0,16/06/2015,10:07:00, comment: < seen\n"
          ">\n"
          "0,16/06/2015,10:15:00, starting KESTLOG (build 2015-Jun-19)\n"
          "1,16/06/2015,10:15:00, the previous run (process 77) ended without stopping: power cut, crash or "
          "kill\n"
          "2,16/06/2015,10:21:10, 7 packets not stored from 10:20:50 to 10:21:05: No space left on device\n");
    bool complete = false;
    std::vector<DaySummary> days = summarise("data", 20150616, 20150616, &complete);
    ASSERT_EQ(days.size(), 1u);
    const DaySummary& d = days[0];
    EXPECT_EQ(d.broken_bytes, static_cast<long>(2 * torn.size() + 100 + 301));
    EXPECT_EQ(d.status_packets(), 4);
    EXPECT_EQ(d.packets_not_stored, 7);
    EXPECT_TRUE(d.minutes[10 * 60 + 20].not_stored && d.minutes[10 * 60 + 21].not_stored);
    EXPECT_FALSE(d.minutes[10 * 60 + 22].not_stored);
    struct {
        int minute;
        bool stopped;
    } runs[] = {{8 * 60 + 59, true},  {9 * 60, false},       {10 * 60 + 1, false}, {10 * 60 + 2, true},
                {10 * 60 + 4, true},  {10 * 60 + 5, false},  {10 * 60 + 7, false}, {10 * 60 + 8, true},
                {10 * 60 + 14, true}, {10 * 60 + 15, false}, {23 * 60, false}};
    for (const auto& r : runs) EXPECT_EQ(d.minutes[r.minute].stopped, r.stopped) << "minute " << r.minute;
    // The run the start of 10:15 found ended without stopping: its end is
    // its last sign of life, at 10:07.
    bool ended = false;
    for (const Event& e : d.events)
        ended = ended || (e.kind == EventKind::Ended && e.second == (10 * 60 + 7) * 60);
    EXPECT_TRUE(ended);
    // Seen at 10:30 of that day: what comes after is still to come, and
    // neither a gap nor a minute without data.
    DaySummary today = d;
    today.minutes_so_far = 10 * 60 + 31;
    EXPECT_EQ(state_of(today, 10 * 60 + 10), CellState::Stopped);
    EXPECT_EQ(state_of(today, 10 * 60 + 6), CellState::Data);
    EXPECT_EQ(state_of(today, 10 * 60 + 25), CellState::Silent);
    EXPECT_EQ(state_of(today, 10 * 60 + 21), CellState::Data) << "came, but lost: not silent";
    EXPECT_EQ(state_of(today, 10 * 60 + 31), CellState::Future);
    EXPECT_EQ(today.minutes_had(), 10 * 60 + 31);
    EXPECT_EQ(gaps_of(today).back().to, 10 * 60 + 30);
    EXPECT_EQ(gaps_of(d).back().to, 23 * 60 + 59);

    // A day the directory has nothing for.
    days = summarise("data", 20150617, 20150617, &complete);
    EXPECT_TRUE(complete);
    EXPECT_FALSE(days[0].has_files);
    EXPECT_FALSE(summarise("no-such-dir", 20150616, 20150616, &complete)[0].has_files);
    EXPECT_FALSE(complete);
}

// A day is mostly runs of packets alike in length and minute, which are
// counted at once: whatever breaks a run, anywhere in it, is seen as it
// would be alone.
TEST_F(ReportSummaryTest, WhateverBreaksARunOfLikePacketsIsSeen) {
    constexpr int N = 200;
    const std::string stamp = "150616 10:00";
    struct Case {
        const char* what;
        void (*change)(std::string* packet, std::string* next_ones);
        int status;
        long broken;
        int message_packets;
        int without_minute;
        int (*moved)(int k) = nullptr;  // how many of the packets from k on are of 10:01
    } cases[] = {
        {"its EOT lost", [](std::string* p, std::string*) { p->pop_back(); }, N - 1, 90, 0, 0},
        {"an STX right after its SOH", [](std::string* p, std::string*) { (*p)[1] = '\x02'; }, N - 1, 1, 1,
         0},
        {"an SOH in it", [](std::string* p, std::string*) { (*p)[40] = '\x01'; }, N, 40, 0, 1},
        {"an EOT just before its own", [](std::string* p, std::string*) { (*p)[89] = '\x04'; }, N, 1, 0, 0},
        {"a byte longer", [](std::string* p, std::string*) { p->insert(30, "."); }, N, 0, 0, 0},
        {"a NUL run before it", [](std::string* p, std::string*) { p->insert(0, 100, '\0'); }, N, 100, 0, 0},
        {"the next minute from it on",
         [](std::string* p, std::string* rest) {
             *p = stamped_packet("150616 10:01");
             for (size_t at = 0; (at = rest->find("10:00", at)) != std::string::npos;)
                 rest->replace(at, 5, "10:01");
         },
         N, 0, 0, 0, [](int k) { return N - k; }},
        {"30 bytes long, two at a time in a minute, from it on",
         [](std::string* p, std::string* rest) {
             size_t count = 1 + rest->size() / stamped_packet("150616 10:00").size();
             p->clear();
             for (size_t i = 0; i < count; i++)
                 *p += stamped_packet(i / 2 % 2 ? "150616 10:01" : "150616 10:00").substr(0, 29) + "\x04";
             rest->clear();
         },
         N, 0, 0, 0, [](int k) { return (N - k) / 4 * 2 + std::max(0, (N - k) % 4 - 2); }},
    };
    for (const Case& c : cases) {
        for (int k : {0, 1, 2, N / 2, N - 2, N - 1}) {
            SCOPED_TRACE(std::string(c.what) + ", packet " + std::to_string(k));
            std::string before, changed = stamped_packet(stamp), after;
            for (int i = 0; i < k; i++) before += stamped_packet(stamp);
            for (int i = k + 1; i < N; i++) after += stamped_packet(stamp);
            c.change(&changed, &after);
            std::vector<DaySummary> days =
                summarise_bytes(20150616, before + changed + after, "", 20150616, 20150616);
            const DaySummary& d = days[0];
            EXPECT_EQ(d.status_packets(), c.status);
            EXPECT_EQ(d.broken_bytes, c.broken);
            EXPECT_EQ(d.message_packets, c.message_packets);
            EXPECT_EQ(d.status_without_minute, c.without_minute);
            EXPECT_EQ(d.minutes[10 * 60 + 1].status, c.moved ? c.moved(k) : 0);
        }
    }
}

// A logger started with a dead clock battery names its log after 2000-01-01
// for months; once its clock is set, its records are of today. The log of the
// run before (named later) must not hide them.
TEST_F(ReportSummaryTest, AMessageLogIsReadForWhatItHoldsWhateverItsName) {
    write("MESKES20150601.txt", "0, 1/06/2015,08:00:00, starting KESTLOG (build 2015-Jun-19)\n");
    write("MESKES20000101.txt",
          "0, 1/01/2000,00:00:10, starting KESTLOG (build 2015-Jun-19)\n"
          "1,16/06/2015,10:02:03, kest fault code=0029 ,-12V,+5V,DC offset\n");
    auto at = [](int day, int hour) {
        struct tm t = {};
        t.tm_year = 115, t.tm_mon = 5, t.tm_mday = day, t.tm_hour = hour, t.tm_isdst = -1;
        return std::filesystem::file_time_type::clock::from_sys(
            std::chrono::system_clock::from_time_t(mktime(&t)));
    };
    std::filesystem::last_write_time("data/MESKES20150601.txt", at(1, 9));
    std::filesystem::last_write_time("data/MESKES20000101.txt", at(16, 11));
    bool complete = false;
    std::vector<DaySummary> days = summarise("data", 20150616, 20150616, &complete);
    EXPECT_TRUE(complete);
    EXPECT_EQ(days[0].minutes[10 * 60 + 2].faults, 1);
    EXPECT_EQ(summarise("data", 20150615, 20150615, &complete)[0].minutes[10 * 60 + 2].faults, 0);
}

// Days of 23 and 25 hours where the clock changes: the hour that never came
// is no gap; the one that came twice is known.
TEST_F(ReportSummaryTest, DaylightSavingChangesAreKnown) {
    setenv("TZ", "Europe/Vienna", 1);
    tzset();
    std::string spring;
    for (int m = 0; m < 24 * 60; m++) {
        if (m / 60 == 2) continue;
        char stamp[16];
        snprintf(stamp, sizeof stamp, "150329 %02d:%02d", m / 60, m % 60);
        spring += stamped_packet(stamp);
    }
    write("KES20150329.txt", spring);
    bool complete;
    std::vector<DaySummary> days = summarise("data", 20151025, 20151025, &complete);
    EXPECT_EQ(days[0].repeated_hour, 2);
    EXPECT_EQ(days[0].missing_hour, -1);
    days = summarise("data", 20150329, 20150329, &complete);
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(days[0].missing_hour, 2);
    EXPECT_TRUE(gaps_of(days[0]).empty()) << "the missing hour is no gap";
}

TEST(ReportDates, CalendarAndParsing) {
    int d = 0;
    EXPECT_TRUE(parse_date("2016-02-29", &d));
    EXPECT_EQ(d, 20160229);
    EXPECT_EQ(next_date(d), 20160301);
    EXPECT_EQ(date_before(20150101), 20141231);
    EXPECT_FALSE(parse_date("2015-02-29", &d));
    EXPECT_FALSE(parse_date("2015-6-1x", &d));
    EXPECT_EQ(date_text(20150606), "2015-06-06");
}

// A loss that has not ended lasts until the logger's last sign of life: its
// last record, or now while it still runs (it holds its lock beside data/).
TEST_F(ReportSummaryTest, ALossNotYetEndedLastsWhileTheLoggerRuns) {
    int today, now;
    now_in_zone(&today, &now);
    char record[96];
    snprintf(record, sizeof record, "1,%2d/%02d/%04d,00:00:05, serial port /dev/kest lost: hang-up\n",
             today % 100, today / 100 % 100, today / 10000);
    write("MESKES" + std::to_string(today) + ".txt", record);
    struct Case {
        bool running;
        int lost;  // minutes of the day marked lost
    } cases[] = {{false, 1}, {true, now + 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.running ? "the logger runs" : "the logger is gone");
        int fd = open(LOCK_FILE, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        if (c.running) {
            ASSERT_EQ(flock(fd, LOCK_EX), 0);
        }
        bool complete = false;
        std::vector<DaySummary> days = summarise("data", today, today, &complete);
        close(fd);
        int lost = 0;
        for (int m = 0; m < MINUTES_A_DAY; m++) lost += days[0].minutes[m].lost;
        EXPECT_EQ(lost, c.lost);
        EXPECT_EQ(state_of(days[0], now), now == 0 || c.running ? CellState::Lost : CellState::Silent);
    }
}

// Stored files are read, never trusted: a field out of its range is no
// minute of any day (counted as unreadable, and named), and a file under a
// day's name that is a link is not read at all.
TEST_F(ReportSummaryTest, StoredFilesAreNeverTrusted) {
    struct Case {
        const char* what;
        std::string messages;
        std::string status;
        long unreadable;
        int without_minute;
        int (*moved)(int k) = nullptr;  // how many of the packets from k on are of 10:01
    } cases[] = {
        {"a time 99:99:10", "1,16/06/2015,99:99:10, no good kest packets in 3 minutes.\n", "", 1, 0},
        {"a 31 June, a second 61", "1,31/06/2015,10:00:00, x\n1,16/06/2015,10:00:61, x\n", "", 2, 0},
        {"a leap second is a second", "1,16/06/2015,23:59:60, x\n", "", 0, 0},
        {"times of packets not stored",
         "1,16/06/2015,10:00:00, 3 packets not stored from 10:00:00 to 25:61:00: x\n", "", 1, 0},
        {"a count of packets not stored",
         "1,16/06/2015,10:00:00, 99999999999 packets not stored from 09:59:00 to 10:00:00: x\n", "", 1, 0},
        {"stamps of no minute", "",
         stamped_packet("150616 24:00") + stamped_packet("150631 10:00") + stamped_packet("150616 23:99") +
             stamped_packet("150616 10:60"),
         0, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testing::internal::CaptureStderr();
        std::vector<DaySummary> days = summarise_bytes(20150616, c.status, c.messages, 20150616, 20150616);
        std::string named = testing::internal::GetCapturedStderr();
        EXPECT_EQ(days[0].unreadable_records, c.unreadable);
        EXPECT_EQ(days[0].status_without_minute, c.without_minute);
        EXPECT_EQ(days[0].packets_not_stored, 0);
        EXPECT_EQ(named.find("unreadable records skipped, the first at line 1") != std::string::npos,
                  c.unreadable > 0)
            << named;
    }
    // A link named like a day's file: refused, and its records not read.
    std::ofstream("elsewhere.txt") << "1,16/06/2015,10:00:00, comment: < read through a link\n>\n";
    std::filesystem::create_directory("data");
    std::filesystem::create_symlink("../elsewhere.txt", "data/MESKES20150616.txt");
    bool complete = true;
    testing::internal::CaptureStderr();
    std::vector<DaySummary> days = summarise("data", 20150616, 20150616, &complete);
    std::string named = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(complete);
    EXPECT_NE(named.find("data/MESKES20150616.txt: read 0 bytes: a symbolic link"), std::string::npos)
        << named;
    EXPECT_TRUE(days[0].events.empty());
    // A record dated ages away (a clock gone wrong, a planted file) costs
    // nothing to look past: the summary ends at once, in a child held to
    // ten seconds of processor time.
    pid_t child = fork();
    if (child == 0) {
        struct rlimit cpu = {10, 10};
        setrlimit(RLIMIT_CPU, &cpu);
        summarise_bytes(20150616, "",
                        "0,16/06/2015,10:00:00, starting KESTLOG (build 2015-Jun-19)\n"
                        "0,16/06/9999,10:00:00, the previous run (process 7) ended without stopping: "
                        "power cut, crash or kill\n",
                        20150616, 20150616);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "a record of the year 9999 kept the summary busy past 10 s of processor time";
}
