#include "testutil.h"

using ClockTest = StateTest;

TEST_F(ClockTest, TimestampTextKeepsBlankDayAndPadsMonth) {
    fake_now = utc(2015, 6, 6, 9, 10, 11);
    curdatetim();
    EXPECT_STREQ(mon.scurdatetim, " 6/06/2015,09:10:11,");

    fake_now = utc(2015, 12, 31, 23, 59, 59);
    curdatetim();
    EXPECT_STREQ(mon.scurdatetim, "31/12/2015,23:59:59,");

    fake_now = utc(2016, 1, 10, 0, 0, 0);
    curdatetim();
    EXPECT_STREQ(mon.scurdatetim, "10/01/2016,00:00:00,");
}

TEST_F(ClockTest, TimestampHasPlaceholderBeforeFirstRefresh) {
    EXPECT_STREQ(mon.scurdatetim, "dd/mm/yyyy,hh:mm:ss,");
}

TEST_F(ClockTest, ClockReadingTurnsBlankDayTensIntoZero) {
    fake_now = utc(2015, 6, 6, 9, 10, 11);
    curdatetim();
    EXPECT_STREQ(mon.acqtimline, "Sat Jun 06 09:10:11 2015\n");
    EXPECT_EQ(mon.month, 6);
    EXPECT_EQ(mon.longtime, fake_now);

    char ct[CTIME_LEN];
    format_ctime(fake_now, ct);
    EXPECT_STREQ(ct, "Sat Jun  6 09:10:11 2015\n");
}

// The stamp and the clock reading come from one sample, kept to the
// millisecond; the reading takes none of its own.
TEST_F(ClockTest, TimestampAndReadingShareOneSample) {
    fake_now = utc(2015, 6, 16, 14, 2, 59);
    fake_ms = 999;
    curdatetim();
    fake_now += 70;
    readclock();
    EXPECT_STREQ(mon.scurdatetim, "16/06/2015,14:02:59,");
    EXPECT_STREQ(mon.acqtimline, "Tue Jun 16 14:02:59 2015\n");
    EXPECT_EQ(mon.tstart_ms, utc(2015, 6, 16, 14, 2, 59) * 1000LL + 999);
}

// A zone changed on the host while the logger runs takes effect at the
// next reading: stamps, file names and the midnight roll follow it.
TEST_F(ClockTest, ZoneChangedWhileRunningIsFollowed) {
    fake_now = utc(2015, 6, 16, 22, 30, 0);
    const char* old_tz = getenv("TZ");
    std::string saved = old_tz ? old_tz : "";
    setenv("TZ", "UTC", 1);
    curdatetim();
    EXPECT_STREQ(mon.scurdatetim, "16/06/2015,22:30:00,");
    setenv("TZ", "EST-10", 1);  // ten hours east of UTC
    curdatetim();
    EXPECT_STREQ(mon.scurdatetim, "17/06/2015,08:30:00,");
    EXPECT_EQ(reading_day_key(), 20150617);
    if (old_tz)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}
