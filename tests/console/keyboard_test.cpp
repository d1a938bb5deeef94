#include "console/console.h"
#include "testutil.h"

class KeyboardTest : public StateTest {
   protected:
    void SetUp() override {
        StateTest::SetUp();
        open_day();
    }

    // Types the bytes; returns the console output. Stops at the first byte
    // that asks the caller to end the program, and keeps that in last_.
    std::string type(const std::string& keys) {
        testing::internal::CaptureStdout();
        last_ = KbAction::None;
        for (unsigned char b : keys) {
            last_ = kbinput(b);
            if (last_ != KbAction::None) break;
        }
        return testing::internal::GetCapturedStdout();
    }

    KbAction last_ = KbAction::None;
};

TEST_F(KeyboardTest, CommandsMatchByPrefixInAnyCase) {
    struct Case {
        const char* line;
        int kesd, kesrawd;
    } cases[] = {
        {"KESDOFF\n", 0, 0},
        {"kesdonx\n", 1, 0},
        {"KesRawDon\n", 1, 1},
        {"kesrawdoff\n", 1, 0},
        {"kesdoffice\n", 0, 0},
        {"kesrawdon\x7f"
         "ff\n",
         0, 1},
    };
    for (const Case& c : cases) {
        std::string out = type(c.line);
        EXPECT_EQ(mon.kesd, c.kesd) << c.line;
        EXPECT_EQ(mon.kesrawd, c.kesrawd) << c.line;
        std::string lower = c.line;
        for (char& ch : lower) ch = static_cast<char>(tolower(ch));
        if (size_t del = lower.find('\x7f'); del != std::string::npos) lower.replace(del, 1, "^?");
        EXPECT_EQ(out, "\ngot word " + lower + "\n") << "switches print nothing of their own";
    }
}

TEST_F(KeyboardTest, HelpListsTheCommandsWithTheMessageLogName) {
    EXPECT_EQ(type("helpme\n"),
              "\ngot word helpme\n\n\n"
              "help    - list keyboard commands\n"
              "kesdon    - print all kest status lines\n"
              "kesrawdon - print all kest raw characters\n"
              "comment   - add an operator comment to MESKES20150616.txt\n"
              "quit    - exit program\n"
              "status    - show the logger's state\n"
              "test-mail - mail a test alert to the recipients\n");
}

TEST_F(KeyboardTest, StatusTellsHowTheLoggingGoes) {
    EXPECT_EQ(type("status\n"),
              "\ngot word status\n\n"
              "site: WXX\n"
              "last good packet: none since start\n"
              "packets today: 0 status, 0 message\n"
              "failures this hour: 0\n"
              "serial line: lost since \n"
              "system clock: unknown\n"
              "e-mail: on, last alert none this run\n");
    // Packets lost today are told only when there are some.
    struct Case {
        int alert_status;
        const char* alert;
        ClockSync sync;
        const char* clock;
        int lost;
        const char* lost_line;
    } cases[] = {{0, "handed to the mail agent", ClockSync::Synchronised, "synchronised", 0, ""},
                 {3, "failed (status 3)", ClockSync::Unsynchronised, "not synchronised", 91,
                  "not stored today: 91 packets, last at 14:02:50\n"},
                 {ALERT_TIMED_OUT, "timed out", ClockSync::Unknown, "unknown", 0, ""}};
    snprintf(mon.last_good_stamp, sizeof mon.last_good_stamp, "16/06/2015,14:02:11,");
    snprintf(mon.last_alert, sizeof mon.last_alert, "16/06/2015,14:03:00,");
    snprintf(mon.line_lost_since, sizeof mon.line_lost_since, "16/06/2015,14:02:30,");
    mon.today_status = 7;
    mon.today_message = 2;
    mon.hour_failures = 3;
    mon.kesfm = 1;
    snprintf(mon.today_lost_last, sizeof mon.today_lost_last, "14:02:50");
    for (const Case& c : cases) {
        mon.last_alert_status = c.alert_status;
        mon.clock_sync = c.sync;
        mon.today_lost = c.lost;
        EXPECT_EQ(type("STATUS\n"), std::string("\ngot word status\n\n") + "site: WXX\n" +
                                        "last good packet: 16/06/2015,14:02:11,\n"
                                        "packets today: 7 status, 2 message\n" +
                                        c.lost_line +
                                        "failures this hour: 4\n"
                                        "serial line: lost since 16/06/2015,14:02:30,\n"
                                        "system clock: " +
                                        c.clock + "\n" + "e-mail: on, last alert 16/06/2015,14:03:00, " +
                                        c.alert + "\n");
    }
    mon.kessendmail = 'N';
    mon.fhR2 = 0;
    std::string out = type("status\n");
    EXPECT_TRUE(out.ends_with("serial line: up\nsystem clock: unknown\ne-mail: off\n")) << out;
}

TEST_F(KeyboardTest, AnythingElseIsNotACommand) {
    EXPECT_EQ(type("\n"), "\ngot word \n\nNot a valid command word.\n");
    // Control bytes echo as cat -v shows them, never raw to a terminal.
    EXPECT_EQ(type("x\x7fhelp\n"), "\ngot word x^?help\n\nNot a valid command word.\n");
    EXPECT_EQ(type("kesd\n"), "\ngot word kesd\n\nNot a valid command word.\n");
    EXPECT_EQ(type("\x1a\x1c\x04\t\n"), "\ngot word ^Z^\\^D\t\n\nNot a valid command word.\n");
    EXPECT_EQ(messages(), "");
}

TEST_F(KeyboardTest, LineCollectsAcrossCallsUntilTheNewline) {
    EXPECT_EQ(type("he"), "");
    EXPECT_EQ(mon.kbptr, 2);
    EXPECT_EQ(type("lp"), "");
    EXPECT_NE(type("\n").find("quit    - exit program\n"), std::string::npos);
    EXPECT_EQ(mon.kbptr, 0);
}

TEST_F(KeyboardTest, LineWrapsAfterEightyOneCharacters) {
    // 80 characters and the newline: handled whole.
    std::string eighty = "help" + std::string(76, 'x');
    EXPECT_NE(type(eighty + "\n").find("help    - list"), std::string::npos);
    // 81 characters: the newline lands at position 0, an empty line.
    EXPECT_EQ(type("help" + std::string(77, 'x') + "\n"), "\ngot word \n\nNot a valid command word.\n");
    // Longer: nothing after the 81st character counts, so a long comment
    // whose tail reads like a command runs nothing; the line is an empty one.
    EXPECT_EQ(type("comment" + std::string(74, 'y') + "quite dirty"), "");
    EXPECT_EQ(mon.kbptr, KB_LINE_MAX);
    EXPECT_EQ(type("\n"), "\ngot word \n\nNot a valid command word.\n");
    EXPECT_EQ(last_, KbAction::None);
    EXPECT_EQ(messages(), "");
    // Ctrl-C still ends it, however long the line.
    type(std::string(90, 'z') + "\x03");
    EXPECT_EQ(last_, KbAction::Interrupt);
}

TEST_F(KeyboardTest, CommentKeepsItsNewlineUntilCut) {
    type("Comment Pump serviced\n");
    std::string t71(71, 'a');
    type("comment" + t71 + "\n");
    std::string t73(73, 'b');
    type("commentary\n");
    type("comment" + t73 + "\n");
    // From kestctl: who gave it, and no terminal escape reaches the log.
    char line[KB_LINE_MAX + 1] = "";
    int ptr = 0;
    std::string reply;
    for (unsigned char b : std::string("comment \x1b[2J\tgone\n")) line_input(line, &ptr, b, "alice", &reply);
    std::string ts = "0,16/06/2015,14:02:11, ";
    EXPECT_EQ(messages(), ts + "comment: < pump serviced\n>\n" +   //
                              ts + "comment: <" + t71 + "\n>\n" +  //
                              ts + "comment: <ary\n>\n" +          //
                              ts + "comment: <" + t73.substr(0, 72) + ">\n" + ts +
                              "command comment from alice (kestctl)\n" +  //
                              ts + "comment: < ^[[2j\tgone\n>\n");
    EXPECT_EQ(mon.kesfd, 0);
    EXPECT_EQ(mon.kesfm, 0);
}

TEST_F(KeyboardTest, QuitAndCtrlCAreLeftToTheCaller) {
    type("quitting\n");
    EXPECT_EQ(last_, KbAction::Quit);
    EXPECT_EQ(messages(), "") << "the caller writes the quit record";

    EXPECT_EQ(type("qu\x03it\n"), "");
    EXPECT_EQ(last_, KbAction::Interrupt);
    EXPECT_EQ(mon.kbptr, 2) << "Ctrl-C is not stored";
}

TEST_F(KeyboardTest, ZeroByteInALineIsHarmless) {
    EXPECT_EQ(type(std::string("he\0lp\n", 6)), "\ngot word he^@lp\n\nNot a valid command word.\n");
    EXPECT_EQ(mon.kbptr, 0);
}
