#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "alert/alert.h"
#include "testutil.h"

using MailCommandTest = StateTest;

static std::string mail_command(const char* maildest) {
    snprintf(mon.maildest, sizeof mon.maildest, "%s", maildest);
    char out[MAIL_COMMAND_MAX];
    size_t needed = build_mail_command(out, sizeof out);
    EXPECT_LT(needed, sizeof out);
    EXPECT_EQ(strlen(out), needed);
    return out;
}

TEST_F(MailCommandTest, OrdinaryAddressesGoInAsTheyStand) {
    EXPECT_EQ(mail_command("ops@example.org"), "mail -skesfail ops@example.org < lastmailmsg");
    EXPECT_EQ(mail_command("a.b_c+d-e@x.org  f@y.org"),
              "mail -skesfail a.b_c+d-e@x.org  f@y.org < lastmailmsg");
}

TEST_F(MailCommandTest, AnyOtherAddressIsQuotedWhole) {
    EXPECT_EQ(mail_command("ops@x.org x$(reboot)@y `id` a;b|c&d>e"),
              "mail -skesfail ops@x.org 'x$(reboot)@y' '`id`' 'a;b|c&d>e' < lastmailmsg");
    EXPECT_EQ(mail_command("o'hara@x.org"), "mail -skesfail 'o'\\''hara@x.org' < lastmailmsg");
    EXPECT_EQ(mail_command("*\t\\\"~"), "mail -skesfail '*\t\\\"~' < lastmailmsg");
}

TEST_F(MailCommandTest, LongestRecipientListFitsAndSmallBuffersAreNotOverrun) {
    std::string quotes(TEXT_MAX, '\'');
    for (size_t i = 1; i < quotes.size(); i += 2) quotes[i] = ' ';  // many one-quote recipients
    mail_command(quotes.c_str());

    char small[8];
    memset(small, '#', sizeof small);
    snprintf(mon.maildest, sizeof mon.maildest, "ops@example.org");
    EXPECT_EQ(build_mail_command(small, 6), strlen("mail -skesfail ops@example.org < lastmailmsg"));
    EXPECT_STREQ(small, "mail ");
    EXPECT_EQ(small[6], '#');
}

static std::string site_line() {
    char host[256] = "";
    gethostname(host, sizeof host);
    return std::string("kestlog at site WXX on host ") + host + "\n";
}

// The heading before the message log's tail.
static std::string tail_heading() { return "The last lines of the message log ./data/MESKES20150616.txt:\n"; }

// The body's last line, after the tail: where to look closer.
static std::string look_closer() {
    return "kestctl -C " + std::filesystem::current_path().string() + " status\n";
}

// The alert through a recording stand-in for the host's mail command, with
// the period checks driven by the test clock.
class AlertTest : public StateTest {
   protected:
    // One pass's hour and minute checks at t, and the alert's commands, which
    // the main loop would watch, until they are done.
    void pass_at(time_t t) {
        fake_now = t;
        pass();
    }
    void pass() {
        curdatetim();
        testhour();
        testmin();
        while (alert_running()) {
            usleep(1000);
            alert_child_ended();
            check_alert_deadline();
        }
    }

    void SetUp() override {
        StateTest::SetUp();
        std::filesystem::create_directory("bin");
        std::ofstream("bin/mail") << "#!/bin/sh\n{ echo \"mail $*\"; cat; } >> mail.log\n";
        std::filesystem::permissions("bin/mail", std::filesystem::perms::owner_all);
        old_path_ = getenv("PATH");
        setenv("PATH", (std::filesystem::current_path().string() + "/bin:" + old_path_).c_str(), 1);
        fake_now = utc(2015, 6, 16, 13, 59, 30);
        open_day();
        mon.oldmin = mon.acqtimline[15];
        mon.oldmin_key = reading_minute_key();
    }
    void TearDown() override {
        setenv("PATH", old_path_.c_str(), 1);
        StateTest::TearDown();
    }
    std::string old_path_;
};

TEST_F(AlertTest, FailuresInEveryMinuteSendOneMailAnHour) {
    std::string out;  // gathered this way, not with CaptureStdout, failures made meanwhile show
    console_capture(&out);
    for (time_t t = utc(2015, 6, 16, 13, 59, 31); t < utc(2015, 6, 16, 16, 0, 0); t += 30) {
        mon.kesfm = 1;     // a failure in every minute
        mon.minnokes = 0;  // while good packets keep coming
        pass_at(t);
    }
    std::string mails = slurp("mail.log");
    // At 14:00 (judging 13:59) and at 15:00 (judging 14:59, the alert re-armed),
    // each naming the site and the host.
    const std::string mail =
        "mail -skesfail operator@localhost\nkesfm=1 kesfd=0\n" + site_line() + tail_heading() + look_closer();
    EXPECT_EQ(mails, mail + mail);
    size_t sent = 0;
    for (size_t at = out.find("sent kesfail"); at != std::string::npos; at = out.find("sent kesfail", at + 1))
        sent++;
    EXPECT_EQ(sent, 2u);
    EXPECT_EQ(out.find("kesfm=1 kesfd=0\nemail message <tail ./data/MESKES20150616.txt >> lastmailmsg>\n"
                       "sent kesfail email message <mail -skesfail operator@localhost < lastmailmsg>\n"),
              0u);
}

// A mail command that fails (its spool on a full disk) spends nothing: the
// same body goes again at every fifth change of minute until it is sent,
// minutes with failures meanwhile only print their count, and a new hour
// drops a retry still waiting.
TEST_F(AlertTest, FailedMailIsTriedAgainWithTheSameBodyUntilItGoesOut) {
    std::ofstream("bin/mail")
        << "#!/bin/sh\n{ echo \"mail $*\"; cat; } >> mail.log\n[ ! -e fail ] || exit 75\n";
    auto in = [](int hhmm, int from, int to) { return hhmm >= from && hhmm < to; };
    // The minutes at which a mail is tried, and the count line of its body.
    const std::map<int, std::string> tries = {{1400, "kesfm=1 kesfd=1"},
                                              {1405, "kesfm=1 kesfd=1"},
                                              {1410, "kesfm=1 kesfd=1"},
                                              {1558, "kesfm=1 kesfd=13"},
                                              {1600, "kesfm=1 kesfd=14"}};
    std::string out;
    console_capture(&out);
    for (time_t t = utc(2015, 6, 16, 14, 0, 0); t <= utc(2015, 6, 16, 16, 5, 0); t += 60) {
        int hhmm = static_cast<int>(t / 3600 % 24 * 100 + t / 60 % 60);
        SCOPED_TRACE(hhmm);
        if (in(hhmm, 1400, 1409) || in(hhmm, 1558, 1600))
            std::ofstream("fail") << "\n";
        else
            std::filesystem::remove("fail");
        // Failures in the minutes ending at 14:00 to 14:11, 15:58 and 16:00.
        mon.kesfm = in(hhmm, 1400, 1412) || hhmm == 1558 || hhmm == 1600;
        mon.kesfd += mon.kesfm;  // each minute's count line differs
        mon.minnokes = 0;        // while good packets keep coming
        size_t before = slurp("mail.log").size();
        pass_at(t);
        std::string tried = slurp("mail.log").substr(before);
        auto expected = tries.find(hhmm);
        EXPECT_EQ(tried, expected == tries.end() ? ""
                                                 : "mail -skesfail operator@localhost\n" + expected->second +
                                                       "\n" + site_line() + tail_heading() + look_closer());
    }
    EXPECT_EQ(mon.mails_failed, 3);
    EXPECT_EQ(mon.mails_sent, 2);
    EXPECT_NE(out.find("kesfm=1 kesfd=1\nemail message <tail"), std::string::npos) << out;
    EXPECT_NE(out.find("kesfm=1 kesfd=2\nkesfm=1 kesfd=3\n"), std::string::npos)
        << "no alert while one waits";
}

// An alert still going out when the hour changes spends the hour its try
// started in, not the new one: the new hour's first failure sends its own.
TEST_F(AlertTest, AnAlertSpendsTheHourItsTryStartedIn) {
    std::ofstream("bin/mail") << "#!/bin/sh\nsleep 0.3\n{ echo \"mail $*\"; cat; } >> mail.log\n";
    auto pass = [](time_t t, int failures) {
        fake_now = t;
        mon.kesfm = failures;
        mon.minnokes = 0;
        curdatetim();
        testhour();
        testmin();
    };
    std::string out;
    console_capture(&out);
    pass(utc(2015, 6, 16, 14, 59, 0), 1);
    ASSERT_TRUE(alert_running());
    pass(utc(2015, 6, 16, 15, 0, 0), 0);  // the hour changes while it runs
    pass_at(utc(2015, 6, 16, 15, 0, 1));  // and it goes out
    EXPECT_EQ(mon.mails_sent, 1);
    EXPECT_EQ(mon.kesmailsent, 0) << "hour 15 is not spent by the try of hour 14";
    pass(utc(2015, 6, 16, 15, 1, 0), 1);
    pass_at(utc(2015, 6, 16, 15, 1, 1));
    EXPECT_EQ(mon.mails_sent, 2);
    EXPECT_EQ(mon.kesmailsent, 1);
}

// Here every reading moves the clock on by a millisecond, from just before
// 14:00: a check that read the clock again would judge the new minute in a
// pass stamped 13:59:59. With one reading a pass, the notice, its count line
// and the alert it starts all belong to 14:00:00.
static long long ticking_ms = 0;
static long long ticking_clock() { return ticking_ms++; }

TEST_F(AlertTest, ANoticeAndItsAlertCarryTheMinuteTheyJudge) {
    mon.minnokes = 2;  // the next change of minute is the third without data
    ticking_ms = utc(2015, 6, 16, 13, 59, 59) * 1000LL + 999;
    set_clock_source(ticking_clock);
    std::string out;
    console_capture(&out);
    pass();
    pass();
    EXPECT_EQ(out,
              "1,16/06/2015,14:00:00, no good kest packets in 3 minutes.\nkesfm=1 kesfd=1\n"
              "email message <tail ./data/MESKES20150616.txt >> lastmailmsg>\n"
              "sent kesfail email message <mail -skesfail operator@localhost < lastmailmsg>\n");
    EXPECT_STREQ(mon.last_alert, "16/06/2015,14:00:00,");
}
