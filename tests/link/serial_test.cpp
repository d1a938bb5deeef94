#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "link/link.h"
#include "testutil.h"

class SerialTest : public StateTest {
   protected:
    void SetUp() override {
        StateTest::SetUp();
        open_day();
    }
    void TearDown() override {
        if (mon.fhR2 >= 0) close(mon.fhR2);
        for (int fd : {master_, slave_}) {
            if (fd >= 0) close(fd);
        }
        StateTest::TearDown();
    }

    // A new pseudo-terminal behind the name ./ttyKEST, as a replugged adapter.
    void plug_in() {
        char name[128];
        ASSERT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0);
        unlink("ttyKEST");
        ASSERT_EQ(symlink(name, "ttyKEST"), 0);
    }

    // One pass's reading of the line and its check; returns the console output.
    std::string pass() {
        curdatetim();
        testing::internal::CaptureStdout();
        do checkkest();
        while (mon.nchar2 > 0);
        check_serial_line();
        return testing::internal::GetCapturedStdout();
    }

    int master_ = -1;
    int slave_ = -1;
};

TEST_F(SerialTest, FailedReadIsReportedOnceAndTheLineGivenUp) {
    snprintf(mon.SERIAL_PORT, sizeof mon.SERIAL_PORT, "/dev/null");
    mon.fhR2 = open("/dev/null", O_WRONLY);  // every read fails
    mon.skest[0] = '\x01';
    mon.pchar2 = 1;
    testing::internal::CaptureStderr();
    std::string out = pass();
    out += pass();
    // The loss is told to the journal too, once.
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "read failed: Bad file descriptor\nserial port /dev/null lost: Bad file descriptor\n");
    EXPECT_EQ(out, "1,16/06/2015,14:02:11, serial port /dev/null lost: Bad file descriptor\n");
    EXPECT_EQ(mon.fhR2, -1);
    EXPECT_EQ(mon.pchar2, 0);  // the cut packet cannot swallow the next one
    EXPECT_EQ(mon.kesfm, 1);
    EXPECT_EQ(messages(), "1,16/06/2015,14:02:11, serial port /dev/null lost: Bad file descriptor\n");
}

TEST_F(SerialTest, LostLineIsTriedEveryFiveSecondsQuietlyUntilItIsBack) {
    snprintf(mon.SERIAL_PORT, sizeof mon.SERIAL_PORT, "ttyKEST");
    plug_in();
    mon.fhR2 = open("ttyKEST", O_RDWR | O_NOCTTY | O_NONBLOCK);
    close(master_);  // unplugged: the line hangs up and its name goes
    master_ = -1;
    unlink("ttyKEST");
    EXPECT_EQ(pass(), "1,16/06/2015,14:02:11, serial port ttyKEST lost: hang-up\n");

    std::string quiet;
    testing::internal::CaptureStderr();
    for (int s = 1; s <= 9; s++) {  // one failed try at +5, none before, none after
        fake_now++;
        quiet += pass();
        if (s == 7) plug_in();
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(quiet, "");
    EXPECT_EQ(mon.fhR2, -1);

    fake_now++;
    EXPECT_EQ(pass(), "Serial port, ttyKEST, initialization successful.\n");
    EXPECT_GE(mon.fhR2, 0);
    EXPECT_EQ(mon.kesfd, 1);  // being back is no failure
    EXPECT_TRUE(messages().ends_with("\n1,16/06/2015,14:02:21, serial port ttyKEST reopened\n"))
        << messages();

    // Bytes sent once the line is back are read.
    ASSERT_EQ(write(master_, "\x02hi\x04", 4), 4);
    EXPECT_EQ(pass(), "\x02hi\x04");
}

TEST_F(SerialTest, ClockSetBackDoesNotPostponeTheNextTry) {
    snprintf(mon.SERIAL_PORT, sizeof mon.SERIAL_PORT, "ttyKEST");
    mon.fhR2 = open("/dev/null", O_WRONLY);
    testing::internal::CaptureStderr();
    pass();
    testing::internal::GetCapturedStderr();
    plug_in();
    fake_now -= 3600;
    EXPECT_EQ(pass(), "Serial port, ttyKEST, initialization successful.\n");
}

// A pseudo-terminal takes 7 data bits and parity once, then refuses them:
// its slave side is taken as it is. Nothing else is, not even the master
// side of the same pair.
TEST_F(SerialTest, OnlyAPseudoTerminalIsTakenAsItIs) {
    plug_in();
    mon.newtio = termios{};
    mon.newtio.c_cflag = CS7 | PARENB | CREAD | CLOCAL;
    cfsetispeed(&mon.newtio, B9600);
    ASSERT_EQ(tcsetattr(slave_, TCSANOW, &mon.newtio), 0);
    ASSERT_NE(tcsetattr(slave_, TCSANOW, &mon.newtio), 0);
    ASSERT_EQ(errno, EINVAL) << strerror(errno);
    EXPECT_TRUE(take_pty_as_it_is(slave_, EINVAL));
    EXPECT_FALSE(take_pty_as_it_is(slave_, EIO)) << "only the settings it cannot have";
    EXPECT_FALSE(take_pty_as_it_is(master_, EINVAL)) << "a terminal that is no pseudo-terminal's slave";
}
