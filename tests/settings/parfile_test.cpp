#include <cstdio>
#include <fstream>

#include "settings/settings.h"
#include "testutil.h"

using ParLineTest = StateTest;

TEST_F(ParLineTest, TextSettingsTakeFirstWord) {
    EXPECT_EQ(parse_parline("site= ABC more\n").kind, ParKind::Applied);
    EXPECT_STREQ(mon.site, "ABC");
    parse_parline("KESTLOG.PAR_updated=2015-06-19\r\n");
    EXPECT_STREQ(mon.pardate, "2015-06-19");
    parse_parline("maildest=a@x.org;b@y.org\n");
    EXPECT_STREQ(mon.maildest, "a@x.org b@y.org");
}

TEST_F(ParLineTest, KessendmailKeepsFirstCharacter) {
    parse_parline("kessendmail=y\n");
    EXPECT_EQ(mon.kessendmail, 'y');
    parse_parline("kessendmail=Yes\n");
    EXPECT_EQ(mon.kessendmail, 'Y');
}

TEST_F(ParLineTest, CommentsAndBlankLinesAreIgnored) {
    for (const char* line : {"; site=XYZ\n", "\n", "  \t \r\n", ""}) {
        SCOPED_TRACE(line);
        EXPECT_EQ(parse_parline(line).kind, ParKind::Ignored);
    }
    EXPECT_STREQ(mon.site, "WXX");
}

TEST_F(ParLineTest, UnknownNames) {
    for (const char* line : {"site =ABC\n", " site=ABC\n", "SITE=ABC\n", "garbage\n", "=x\n"}) {
        SCOPED_TRACE(line);
        EXPECT_EQ(parse_parline(line).kind, ParKind::Unknown);
    }
    EXPECT_STREQ(mon.site, "WXX");
}

TEST_F(ParLineTest, EmptyOrOverlongValuesAreRefusedWhole) {
    ParResult r = parse_parline("site=\n");
    EXPECT_EQ(r.kind, ParKind::BadValue);
    EXPECT_STREQ(r.name, "site=");

    std::string longest = "site=" + std::string(TEXT_MAX, 'a') + "\n";
    EXPECT_EQ(parse_parline(longest.c_str()).kind, ParKind::Applied);
    EXPECT_EQ(strlen(mon.site), static_cast<size_t>(TEXT_MAX));

    std::string too_long = "maildest=" + std::string(TEXT_MAX + 1, 'b') + "\n";
    r = parse_parline(too_long.c_str());
    EXPECT_EQ(r.kind, ParKind::BadValue);
    EXPECT_STREQ(r.name, "maildest=");
    EXPECT_STREQ(mon.maildest, "operator@localhost");

    std::string long_port = "serial_port=/dev/" + std::string(TEXT_MAX, 'c') + ",9600,8,N,1\n";
    EXPECT_EQ(parse_parline(long_port.c_str()).kind, ParKind::BadValue);
    EXPECT_STREQ(mon.SERIAL_PORT, "/dev/ttyUSB0");
    EXPECT_EQ(mon.SERIAL_BAUDRATE, static_cast<speed_t>(B9600));

    EXPECT_EQ(parse_parline("serial_port=,9600,8,N,1\n").kind, ParKind::BadValue);
    EXPECT_EQ(parse_parline("kessendmail=   \n").kind, ParKind::BadValue);
    EXPECT_EQ(mon.kessendmail, 'Y');
}

TEST_F(ParLineTest, SerialPortSetsEveryField) {
    EXPECT_EQ(parse_parline("serial_port=/dev/ttyS1,57600,8,o,2\n").kind, ParKind::Applied);
    EXPECT_STREQ(mon.SERIAL_PORT, "/dev/ttyS1");
    EXPECT_EQ(mon.SERIAL_BAUDRATE, static_cast<speed_t>(B57600));
    EXPECT_EQ(mon.SERIAL_BIT, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(mon.SERIAL_PARITY, static_cast<tcflag_t>(PARENB | PARODD));
    EXPECT_EQ(mon.SERIAL_STOPB, static_cast<tcflag_t>(CSTOPB));

    parse_parline("serial_port=/dev/ttyS2,1200,7,N,1\n");
    EXPECT_EQ(mon.SERIAL_BAUDRATE, static_cast<speed_t>(B1200));
    EXPECT_EQ(mon.SERIAL_BIT, static_cast<tcflag_t>(CS7));
    EXPECT_EQ(mon.SERIAL_PARITY, 0u);
    EXPECT_EQ(mon.SERIAL_STOPB, 0u);
}

TEST_F(ParLineTest, SerialPortMissingFieldsKeepTheirValues) {
    parse_parline("serial_port=/dev/ttyS1,19200,8,N,2\n");
    EXPECT_EQ(parse_parline("serial_port=/dev/ttyACM0\n").kind, ParKind::Applied);
    EXPECT_STREQ(mon.SERIAL_PORT, "/dev/ttyACM0");
    EXPECT_EQ(mon.SERIAL_BAUDRATE, static_cast<speed_t>(B19200));
    parse_parline("serial_port=/dev/ttyACM1,4800\n");
    EXPECT_EQ(mon.SERIAL_BAUDRATE, static_cast<speed_t>(B4800));
    EXPECT_EQ(mon.SERIAL_BIT, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(mon.SERIAL_STOPB, static_cast<tcflag_t>(CSTOPB));
}

TEST_F(ParLineTest, SerialPortRefusalsStopAtTheFirstBadField) {
    struct Case {
        const char* line;
        const char* problem;
    } cases[] = {
        {"serial_port=/dev/ttyS0,600,8,N,1\n", "Unsupported baud rate\n"},
        {"serial_port=/dev/ttyS0,99999999999999999999,8,N,1\n", "Unsupported baud rate\n"},
        {"serial_port=/dev/ttyS0,2400,6,N,1\n", "Unsupported data size\n"},
        {"serial_port=/dev/ttyS0,2400,8,X,1\n", "Unsupported parity\n"},
        {"serial_port=/dev/ttyS0,2400,8,N,3\n", "Unsupported stop bits\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        reset_state();
        ParResult r = parse_parline(c.line);
        EXPECT_EQ(r.kind, ParKind::Unsupported);
        EXPECT_STREQ(r.problem, c.problem);
        EXPECT_STREQ(mon.SERIAL_PORT, "/dev/ttyS0");
    }
    // What was accepted before the refused field stays set.
    reset_state();
    parse_parline("serial_port=/dev/ttyS0,2400,8,X,1\n");
    EXPECT_EQ(mon.SERIAL_BAUDRATE, static_cast<speed_t>(B2400));
    EXPECT_EQ(mon.SERIAL_BIT, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(mon.SERIAL_PARITY, static_cast<tcflag_t>(PARENB));
}

// The whole file: echo, records and counts.
class ParFileTest : public StateTest {
   protected:
    std::string read_file(const std::string& content) {
        open_day();
        FILE* f = fopen("kestlog.par", "w");
        fwrite(content.data(), 1, content.size(), f);
        fclose(f);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(readparfile(), 0);
        std::string out = testing::internal::GetCapturedStdout();
        err_ = testing::internal::GetCapturedStderr();
        return out;
    }
    std::string err_;
};

TEST_F(ParFileTest, MissingFileUsesDefaultsAndCountsAFailure) {
    open_day();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    readparfile();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "kestlog.par: No such file or directory; the logger would use its defaults\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\nUsing parameter file: kestlog.par\nParameter file was not found, will use defaults\n");
    EXPECT_EQ(messages(),
              "1,16/06/2015,14:02:11, parameter file kestlog.par was not found, will use defaults\n");
    EXPECT_EQ(mon.kesfm, 1);
}

TEST_F(ParFileTest, EveryLineIsEchoedAndProblemsRecorded) {
    std::string out = read_file("; comment\nsite=ABC\nbogus=1\nsite=\n\nmaildest=x@y");
    EXPECT_EQ(out,
              "\nUsing parameter file: kestlog.par\n"
              "; comment\nsite=ABC\nbogus=1\nunknown parameter\nsite=\nbad value for site=\n\n"
              "maildest=x@y");
    EXPECT_EQ(messages(),
              "0,16/06/2015,14:02:11, ; comment\n"
              "0,16/06/2015,14:02:11, site=ABC\n"
              "0,16/06/2015,14:02:11, bogus=1\n"
              "1,16/06/2015,14:02:11, unknown parameter\n"
              "1,16/06/2015,14:02:11, site=\n"
              "2,16/06/2015,14:02:11, bad value for site=\n"
              "2,16/06/2015,14:02:11, \n"
              "2,16/06/2015,14:02:11, maildest=x@y\n");
    EXPECT_EQ(mon.kesfm, 2);
    EXPECT_STREQ(mon.site, "ABC");
    EXPECT_STREQ(mon.maildest, "x@y");
}

// The rest of the file is not read, and the operator hears of it: a record
// and a failure of the minute, so that the alert e-mail follows.
TEST_F(ParFileTest, UnsupportedSettingEndsTheReading) {
    std::string out = read_file("site=A\nserial_port=/dev/ttyS0,600,8,N,1\nsite=LATE\nkessendmail=N\n");
    EXPECT_EQ(
        err_,
        "Unsupported baud rate\n"
        "kestlog.par:2: unsupported baud rate 600 (supported: 1200, 2400, 4800, 9600, 19200, 38400, 57600)\n"
        "kestlog.par:3: this line and the 1 after it are not read\n");
    EXPECT_EQ(out, "\nUsing parameter file: kestlog.par\nsite=A\nserial_port=/dev/ttyS0,600,8,N,1\n");
    EXPECT_STREQ(mon.site, "A");
    EXPECT_EQ(mon.kessendmail, 'Y');
    EXPECT_STREQ(mon.SERIAL_PORT, "/dev/ttyS0");
    EXPECT_EQ(mon.kesfm, 1);
    EXPECT_TRUE(
        messages().ends_with("1,16/06/2015,14:02:11, kestlog.par line 2: unsupported value 600, the rest of "
                             "the file was not read\n"));
}

// What a check names, line by line; the running logger names the same on
// standard error.
TEST_F(ParLineTest, ProblemsAreNamedWithWhatWasMeant) {
    struct Case {
        const char* line;
        const char* finding;
    } cases[] = {
        {"site=ABC\n", ""},
        {"; kessendmial=N\n", ""},
        {"kessendmial=N\n", "unknown parameter kessendmial (did you mean kessendmail?)"},
        {"SITE=ABC\n", "unknown parameter SITE (did you mean site?)"},
        {"serialport=/dev/ttyS0\n", "unknown parameter serialport (did you mean serial_port?)"},
        {"colour=blue\n", "unknown parameter colour"},
        {"garbage\r\n", "unknown parameter garbage"},
        {"site =ABC\n", "unknown parameter 'site ' (no blank may stand before '=')"},
        {"site\t=ABC\n", "unknown parameter 'site\t' (no blank may stand before '=')"},
        {"site=\n", "bad value for site= (empty)"},
        {"serial_port=,9600\n", "bad value for serial_port= (empty)"},
        {"kessendmail=  \n", "bad value for kessendmail= (empty)"},
        {"maildest=x\n", ""},
        {"serial_port=/dev/ttyS0,9601,7,E,1\n",
         "unsupported baud rate 9601 (supported: 1200, 2400, 4800, 9600, 19200, 38400, 57600)"},
        {"serial_port=/dev/ttyS0,9600,6,E,1\n", "unsupported data size 6 (supported: 7, 8)"},
        {"serial_port=/dev/ttyS0,9600,7,X,1\n", "unsupported parity X (supported: E, O, N)"},
        {"serial_port=/dev/ttyS0,9600,7,E,3\n", "unsupported stop bits 3 (supported: 1, 2)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_STREQ(parse_parline(c.line).finding, c.finding);
    }
    std::string long_site = "site=" + std::string(TEXT_MAX + 1, 's') + "\n";
    EXPECT_STREQ(parse_parline(long_site.c_str()).finding,
                 "bad value for site= (longer than 255 characters)");
}

// A check reads the file and nothing else, names every problem with its
// line, and says what the logger would run with.
TEST_F(ParFileTest, CheckNamesProblemsAndTheSettingsToBeUsed) {
    open_day();
    std::ofstream("site.par") << "site =A\nmaildest=a@x.org;o'hara@y.org\nkessendmail=N\n"
                              << std::string(600, ';') << "\nserial_port=/dev/kest,4800,8,X,1\nsite=B\n";
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(checkparfile("site.par"), 1);
    // Problems where a service manager's journal hears them; the settings apart.
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "site.par:1: unknown parameter 'site ' (no blank may stand before '=')\n"
              "site.par:4: line longer than 510 characters, the rest ignored\n"
              "site.par:5: unsupported parity X (supported: E, O, N)\n"
              "site.par:6: this line and the 0 after it are not read\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "device: /dev/kest\nspeed: 4800\ndata bits: 8\nparity: even\nstop bits: 1\nsite: WXX\n"
              "mail recipient: a@x.org\nmail recipient: o'hara@y.org\ne-mail: off\n");
    EXPECT_EQ(messages(), "") << "a check writes nothing";

    reset_state();
    std::ofstream("good.par") << "serial_port=/dev/null,9600,7,O,2\n";
    testing::internal::CaptureStdout();
    EXPECT_EQ(checkparfile("good.par"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "device: /dev/null\nspeed: 9600\ndata bits: 7\nparity: odd\nstop bits: 2\nsite: WXX\n"
              "mail recipient: operator@localhost\ne-mail: on\n");

    reset_state();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(checkparfile("missing.par"), 1);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "missing.par: No such file or directory; the logger would use its defaults\n");
}

// Values the logger takes that likely mislead: warned of, once each, and
// the exit status left alone.
TEST_F(ParFileTest, MisleadingValuesAreWarnedOf) {
    std::ofstream("warn.par")
        << "\xEF\xBB\xBFsite=ABC\r\nkessendmail=yes\r\nkessendmail=Yes\r\n"
           "maildest=a@x.org b@y.org c@z.org \r\nmetrics_file=/no/such/folder/k.prom\r\n"
           "metrics_file=k.prom\r\nserial_port=/dev/kest-none,9600,7,E,1\r\n";
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(checkparfile("warn.par"), 1) << "the byte-order mark hides a parameter";
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "warn.par:1: warning: the file starts with a byte-order mark: this line's parameter is not "
              "recognised\n"
              "warn.par:1: warning: CR LF line ends: the CR is kept in the message log's copy of each line\n"
              "warn.par:1: unknown parameter \xEF\xBB\xBFsite\n"
              "warn.par:2: warning: kessendmail=yes turns e-mail off (only Y turns it on)\n"
              "warn.par:4: warning: maildest= ends at the first blank: b@y.org c@z.org is not used\n"
              "warn.par:5: warning: metrics folder /no/such/folder does not exist\n"
              "warn.par:7: warning: serial device /dev/kest-none does not exist now\n");
    std::ofstream("fine.par") << "kessendmail=N\n";
    testing::internal::CaptureStdout();
    EXPECT_EQ(checkparfile("fine.par"), 0);
    testing::internal::GetCapturedStdout();
    // An empty file (a unit's mount point left behind, say) means the defaults.
    std::ofstream("empty.par") << "";
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(checkparfile("empty.par"), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "empty.par: warning: the file is empty: the logger runs on its defaults\n");
}

// Only the first 510 characters are the line: the rest is never applied,
// not even the tail of a comment. 510 characters and a newline are a line.
TEST_F(ParFileTest, OverlongLinesAreCutAndTheRestIgnored) {
    std::string comment = ";" + std::string(509, 'c');
    std::string site = "site=" + std::string(505, 's');
    std::string out = read_file(comment + "maildest=someone@elsewhere\n" + site + "\n" + site + "x\n");
    EXPECT_STREQ(mon.maildest, "operator@localhost");
    EXPECT_EQ(strlen(mon.site), 3u) << "505 characters is a bad value";
    const std::string notice = "parameter line longer than 510 characters, the rest ignored\n";
    EXPECT_EQ(out, "\nUsing parameter file: kestlog.par\n" + comment + "\n" + notice + site +
                       "\nbad value for site=\n" + site + "\nbad value for site=\n" + notice);
    std::string ts = "16/06/2015,14:02:11, ";
    EXPECT_EQ(messages(), "0," + ts + comment + "\n1," + ts + notice + "1," + ts + site + "\n2," + ts +
                              "bad value for site=\n2," + ts + site + "\n3," + ts +
                              "bad value for site=\n4," + ts + notice);
    EXPECT_EQ(mon.kesfm, 4);
}

// Each echoed line is one record of its own, whatever it holds.
TEST_F(ParFileTest, EveryRecordEndsInOneNewline) {
    std::string out = read_file(std::string("site=AB\0CD\nkessendmail=N", 24));
    EXPECT_EQ(out, "\nUsing parameter file: kestlog.par\nsite=AB\nkessendmail=N");
    EXPECT_EQ(messages(),
              "0,16/06/2015,14:02:11, site=AB\n"
              "0,16/06/2015,14:02:11, kessendmail=N\n");
    EXPECT_STREQ(mon.site, "AB");
    EXPECT_EQ(mon.kessendmail, 'N');
}

// The example shipped for sites must read without a complaint.
TEST_F(ParFileTest, ShippedExampleReadsCleanly) {
    FILE* f = fopen(KESTLOG_SOURCE_DIR "/contrib/kestlog.par", "r");
    ASSERT_NE(f, nullptr);
    std::string content;
    for (int c; (c = fgetc(f)) != EOF;) content += static_cast<char>(c);
    fclose(f);
    read_file(content);
    // Its device is the site's udev name, missing on a machine without one.
    EXPECT_TRUE(err_ == "" ||
                err_ == "kestlog.par:17: warning: serial device /dev/kest1 does not exist now\n")
        << err_;
    EXPECT_EQ(mon.kesfd, 0);
    EXPECT_EQ(mon.kesfm, 0);
    EXPECT_STREQ(mon.SERIAL_PORT, "/dev/kest1");
    EXPECT_STREQ(mon.maildest, "operator@example.org oncall@example.org");
    EXPECT_EQ(mon.kessendmail, 'Y');
}
