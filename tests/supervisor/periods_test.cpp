#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "testutil.h"

// Period checks driven pass by pass with the test clock; e-mail is off
// unless a test turns it on, so no command runs.
class PeriodTest : public StateTest {
   protected:
    void SetUp() override {
        StateTest::SetUp();
        mon.kessendmail = 'N';
        start_at(utc(2015, 6, 16, 14, 2, 11));
    }

    // What start-up does for the checks: files named, minute digit taken.
    void start_at(time_t t) {
        fake_now = t;
        open_day();
        mon.oldmin = mon.acqtimline[15];
        mon.oldmin_key = reading_minute_key();
    }

    // One pass's clock refresh and checks; returns what they printed.
    std::string pass_at(time_t t) {
        fake_now = t;
        testing::internal::CaptureStdout();
        curdatetim();
        testday();
        testhour();
        testmin();
        return testing::internal::GetCapturedStdout();
    }

    // Passes every second from `from` up to and including `to`.
    std::string run(time_t from, time_t to) {
        std::string out;
        for (time_t t = from; t <= to; t++) out += pass_at(t);
        return out;
    }
};

TEST_F(PeriodTest, QuietMinutesRaiseNoticesFromTheThird) {
    std::string out = run(utc(2015, 6, 16, 14, 2, 12), utc(2015, 6, 16, 14, 6, 30));
    EXPECT_EQ(out,
              "1,16/06/2015,14:05:00, no good kest packets in 3 minutes.\n"
              "kesfm=1 kesfd=1\n"
              "2,16/06/2015,14:06:00, no good kest packets in 4 minutes.\n"
              "kesfm=1 kesfd=2\n");
    EXPECT_EQ(messages(),
              "1,16/06/2015,14:05:00, no good kest packets in 3 minutes.\n"
              "2,16/06/2015,14:06:00, no good kest packets in 4 minutes.\n");
    EXPECT_EQ(mon.kesfm, 0);
    EXPECT_EQ(mon.minnokes, 4);
}

TEST_F(PeriodTest, GoodPacketRestartsTheQuietCount) {
    run(utc(2015, 6, 16, 14, 2, 12), utc(2015, 6, 16, 14, 5, 30));
    mon.minnokes = 0;  // what a packet that passes the framing test does
    std::string out = run(utc(2015, 6, 16, 14, 5, 31), utc(2015, 6, 16, 14, 8, 0));
    EXPECT_EQ(out,
              "2,16/06/2015,14:08:00, no good kest packets in 3 minutes.\n"
              "kesfm=1 kesfd=2\n");
}

TEST_F(PeriodTest, FailuresAreJudgedOnceAtTheNextMinute) {
    mon.kesfm = 2;  // say two unknown parameter lines at start-up
    mon.kesfd = 2;
    EXPECT_EQ(run(utc(2015, 6, 16, 14, 2, 12), utc(2015, 6, 16, 14, 2, 59)), "");
    EXPECT_EQ(pass_at(utc(2015, 6, 16, 14, 3, 0)), "kesfm=2 kesfd=2\n");
    EXPECT_EQ(mon.kesfm, 0);
    EXPECT_EQ(pass_at(utc(2015, 6, 16, 14, 3, 1)), "");
}

// Whole dates and times are compared, not digits: a loop that stalled ten
// minutes, a clock set on by days, or one set back, is still a change.
TEST_F(PeriodTest, ChangesWithTheSameDigitsAreSeen) {
    mon.kesfm = 1;
    EXPECT_EQ(pass_at(utc(2015, 6, 16, 14, 12, 30)), "kesfm=1 kesfd=0\n");
    EXPECT_EQ(mon.minnokes, 1);

    // A clock without a battery starts in 2000 and is then set by time sync:
    // the same day and month digits, another day.
    start_at(utc(2000, 1, 1, 0, 0, 5));
    std::string out = pass_at(utc(2026, 1, 1, 0, 0, 6));
    EXPECT_EQ(out, "Today's kest file name is: ./data/KES20260101.txt\n");
    mon.kesmailsent = 1;
    pass_at(utc(2026, 1, 2, 0, 0, 7));
    EXPECT_STREQ(mon.keslog, "./data/KES20260102.txt");
    EXPECT_EQ(mon.kesmailsent, 0) << "the same hour digit on another day re-arms the alert";
}

TEST_F(PeriodTest, ClockStepsAreRecordedAndElapsedTimeIsNot) {
    // The test clock moves only the wall clock: every second of it is a step,
    // judged to the millisecond, so that ten minutes are 600 s however the
    // step falls across the turn of a second.
    struct Case {
        long long wall_change_ms;
        const char* record;
    } cases[] = {{1000, ""},
                 {120000, ""},
                 {121000, "0,16/06/2015,14:06:13, clock stepped by +121 s\n"},
                 {-3600000, "0,16/06/2015,13:06:13, clock stepped by -3600 s\n"},
                 {999, ""},
                 {600001, "0,16/06/2015,13:16:14, clock stepped by +600 s\n"},
                 {-600001, "0,16/06/2015,13:06:13, clock stepped by -600 s\n"},
                 // Rounded to the second, never cut: 120.6 s is more than 120.
                 {120600, "0,16/06/2015,13:08:14, clock stepped by +121 s\n"},
                 {-120600, "0,16/06/2015,13:06:13, clock stepped by -121 s\n"}};
    long long t = utc(2015, 6, 16, 14, 2, 11) * 1000LL;
    curdatetim();
    testclockstep();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.wall_change_ms);
        std::string before = messages();
        t += c.wall_change_ms;
        fake_now = static_cast<time_t>(t / 1000);
        fake_ms = static_cast<int>(t % 1000);
        curdatetim();
        testclockstep();
        EXPECT_EQ(messages().substr(before.size()), c.record);
    }
    EXPECT_EQ(mon.kesfm, 0);
}

TEST_F(PeriodTest, MidnightRollsTheStatusFileAndRestartsNumbers) {
    start_at(utc(2015, 6, 30, 23, 59, 50));
    mon.kesfd = 7;
    mon.kesfm = 1;
    std::string out = pass_at(utc(2015, 7, 1, 0, 0, 0));
    EXPECT_EQ(out, "Today's kest file name is: ./data/KES20150701.txt\nkesfm=1 kesfd=0\n");
    EXPECT_STREQ(mon.keslog, "./data/KES20150701.txt");
    EXPECT_STREQ(mon.meskeslog, "./data/MESKES20150630.txt");
    EXPECT_TRUE(std::filesystem::exists("data/KES20150701.txt"));
    EXPECT_EQ(mon.kesfd, 0);
    EXPECT_EQ(pass_at(utc(2015, 7, 1, 0, 0, 1)), "") << "one roll per day";
}

// Every zone of the system's zone database: each change of the local date
// (two years' ends, one of a leap year, and the days the zone's clocks change,
// whose midnight may not exist) rolls the status file over once, to the
// file of the new local day; a repeated hour re-arms no alert.
std::vector<std::string> zone_names() {
    std::vector<std::string> zones;
    std::ifstream zi("/usr/share/zoneinfo/tzdata.zi");
    for (std::string line; std::getline(zi, line);)
        if (line.rfind("Z ", 0) == 0) zones.push_back(line.substr(2, line.find(' ', 2) - 2));
    return zones;
}

int local_key(time_t t) {
    struct tm tm;
    localtime_r(&t, &tm);
    return (tm.tm_year + 1900) * 10000 + (tm.tm_mon + 1) * 100 + tm.tm_mday;
}

long offset(time_t t) {
    struct tm tm;
    localtime_r(&t, &tm);
    return tm.tm_gmtoff;
}

// The first second of the local day that begins within the hour after t.
time_t day_start(time_t t) {
    time_t lo = t, hi = t + 3600;
    while (hi - lo > 1) (local_key((lo + hi) / 2) == local_key(lo) ? lo : hi) = (lo + hi) / 2;
    return hi;
}

TEST_F(PeriodTest, EveryZonesDaysRollOnceAtTheirLocalStart) {
    std::vector<std::string> zones = zone_names();
    if (zones.empty()) GTEST_SKIP() << "no zone database (/usr/share/zoneinfo/tzdata.zi)";
    const char* old_tz = getenv("TZ");
    std::string saved = old_tz ? old_tz : "";
    int days = 0, repeated = 0;
    for (const std::string& zone : zones) {
        setenv("TZ", zone.c_str(), 1);
        tzset();
        // The hours of 2028 where the offset changes (found a day at a time),
        // the turn of 2028 (whose 1 January is in the last week of 2027)
        // and that of 2029.
        std::vector<time_t> changes = {utc(2027, 12, 31, 12, 0, 0), utc(2028, 12, 31, 12, 0, 0)};
        for (time_t day = utc(2028, 1, 1, 0, 0, 0); day < utc(2029, 1, 1, 0, 0, 0); day += 86400) {
            if (offset(day) == offset(day + 86400)) continue;
            for (time_t t = day; t < day + 86400; t += 3600)
                if (offset(t) != offset(t + 3600)) changes.push_back(t);
        }
        std::set<time_t> begins;
        for (time_t t : changes)
            for (time_t look = t - 36 * 3600; look < t + 36 * 3600; look += 3600)
                if (local_key(look) != local_key(look + 3600)) begins.insert(day_start(look));
        for (time_t begin : begins) {
            start_at(begin - 2);
            mon.minnokes = 0;
            pass_at(begin - 1);
            char name[64];
            snprintf(name, sizeof name, "./data/KES%08d.txt", local_key(begin));
            ASSERT_EQ(pass_at(begin), "Today's kest file name is: " + std::string(name) + "\n")
                << zone << " at " << begin;
            ASSERT_EQ(pass_at(begin + 1), "") << zone << ": one roll per day";
            days++;
        }
        // A repeated hour (the clocks go back by one): no alert is re-armed.
        for (time_t t : changes) {
            if (offset(t + 3600) - offset(t) != -3600) continue;
            start_at(t);
            mon.minnokes = 0;
            pass_at(t + 1);
            mon.kesmailsent = 1;
            pass_at(t + 3601);
            EXPECT_EQ(mon.kesmailsent, 1) << zone << ": the repeated hour re-armed the alert";
            repeated++;
        }
    }
    old_tz ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ");
    tzset();
    EXPECT_GT(days, static_cast<int>(zones.size())) << "the turn of the year at least, in every zone";
    EXPECT_GT(repeated, 50) << "zones with daylight saving time";
}

// A new hour re-arms the alert and starts the hour's failure count anew;
// minute hh:59, judged at hh+1:00, belongs to the hour that ended.
TEST_F(PeriodTest, ChangeOfHourRearmsTheAlertAndCountsAnew) {
    pass_at(utc(2015, 6, 16, 14, 2, 12));  // the first pass always takes the hour branch
    mon.kesmailsent = 1;
    mon.kesfm = 2;
    pass_at(utc(2015, 6, 16, 14, 3, 0));
    mon.kesfm = 1;
    pass_at(utc(2015, 6, 16, 14, 59, 59));
    EXPECT_EQ(mon.hour_failures, 3);
    EXPECT_EQ(mon.kesmailsent, 1);
    mon.kesfm = 4;
    pass_at(utc(2015, 6, 16, 15, 0, 0));
    EXPECT_EQ(mon.kesmailsent, 0);
    EXPECT_EQ(mon.hour_failures, 0);
}

TEST_F(PeriodTest, SpentOrSwitchedOffAlertWritesNoBody) {
    mon.kesfm = 1;
    mon.kessendmail = 'y';
    EXPECT_EQ(pass_at(utc(2015, 6, 16, 14, 3, 0)), "kesfm=1 kesfd=0\n");
    EXPECT_EQ(mon.kesmailsent, 0) << "switched off, the hour is not spent";
    EXPECT_FALSE(std::filesystem::exists("lastmailmsg"));

    mon.kessendmail = 'Y';
    mon.kesmailsent = 1;
    mon.kesfm = 1;
    EXPECT_EQ(pass_at(utc(2015, 6, 16, 14, 4, 0)), "kesfm=1 kesfd=0\n");
    EXPECT_FALSE(std::filesystem::exists("lastmailmsg"));
}

// A wake takes at most RX_WAKE_MAX bytes from the line, so that a flood
// cannot starve the keyboard and the clients. What its last read took
// beyond that limit is assembled at once, not when the line next has
// bytes: here the line holds exactly the limit, its last packet at the end,
// and then nothing. The loop runs in a child, on a pipe for a line.
TEST_F(PeriodTest, BytesTakenBeyondOneWakesLimitAreStoredWithNoMoreInput) {
    int line[2];
    ASSERT_EQ(pipe(line), 0);
    if (fcntl(line[1], F_SETPIPE_SZ, static_cast<int>(RX_WAKE_MAX)) < static_cast<int>(RX_WAKE_MAX))
        GTEST_SKIP() << "a pipe cannot hold " << RX_WAKE_MAX << " bytes here";
    const std::string packet =
        "\x02"
        "beyond the limit\x04";
    const std::string flood = std::string(RX_WAKE_MAX - packet.size(), '\x04') + packet;
    ASSERT_EQ(write(line[1], flood.data(), flood.size()), static_cast<ssize_t>(flood.size()));
    fcntl(line[0], F_SETFL, O_NONBLOCK);
    pid_t child = fork();
    if (child == 0) {
        mon.fhR2 = line[0];
        snprintf(mon.SERIAL_PORT, sizeof mon.SERIAL_PORT, "/proc/self/fd/%d", line[0]);
        mon.kesd = 0;
        mon.kb_ended = true;
        mon.framing_this_minute = FRAMING_RECORDS_MAX;  // the noise is counted, not recorded
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, STDOUT_FILENO);
        mainloop(stop_signal_fd());
    }
    ASSERT_GT(child, 0);
    bool stored = false;
    for (int waited = 0; waited < 10000 && !stored; waited += 20) {
        stored = status_file() == packet;
        usleep(20000);
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(line[0]);
    close(line[1]);
    EXPECT_TRUE(stored) << "the packet waits for input that never comes; the status file holds "
                        << status_file().size() << " bytes";
}
