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
    readclock();
    EXPECT_STREQ(mon.acqtimline, "Sat Jun 06 09:10:11 2015\n");
    EXPECT_EQ(mon.month, 6);
    EXPECT_EQ(mon.longtime, fake_now);

    char ct[CTIME_LEN];
    format_ctime(fake_now, ct);
    EXPECT_STREQ(ct, "Sat Jun  6 09:10:11 2015\n");
}

TEST_F(ClockTest, TimestampAndReadingTakeSeparateSamples) {
    fake_now = utc(2015, 6, 16, 14, 2, 11);
    curdatetim();
    fake_now += 70;
    readclock();
    EXPECT_STREQ(mon.scurdatetim, "16/06/2015,14:02:11,");
    EXPECT_EQ(mon.acqtimline[15], '3');
}
