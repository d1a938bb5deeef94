#include <filesystem>

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
        readclock();
        mon.oldmin = mon.acqtimline[15];
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

TEST_F(PeriodTest, StalledLoopMissesAChangeWithTheSameMinuteDigit) {
    mon.kesfm = 1;
    EXPECT_EQ(pass_at(utc(2015, 6, 16, 14, 12, 30)), "");
    EXPECT_EQ(mon.minnokes, 0);
    EXPECT_EQ(mon.kesfm, 1);
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

TEST_F(PeriodTest, ChangeOfHourRearmsTheAlert) {
    pass_at(utc(2015, 6, 16, 14, 2, 12));  // the first pass always takes the hour branch
    mon.kesmailsent = 1;
    pass_at(utc(2015, 6, 16, 14, 59, 59));
    EXPECT_EQ(mon.kesmailsent, 1);
    pass_at(utc(2015, 6, 16, 15, 0, 0));
    EXPECT_EQ(mon.kesmailsent, 0);
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
