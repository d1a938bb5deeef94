#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include "testutil.h"

using LogsTest = StateTest;

TEST_F(LogsTest, DailyNamesUseTwoDigitDayAndMonth) {
    fake_now = utc(2015, 3, 4, 10, 0, 0);
    curdatetim();
    std::filesystem::create_directory("data");
    testing::internal::CaptureStdout();
    mkmesnm();
    mkkesnm();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_STREQ(mon.kes_basefile, "KES20150304.txt");
    EXPECT_STREQ(mon.keslog, "./data/KES20150304.txt");
    EXPECT_STREQ(mon.meskes_basefile, "MESKES20150304.txt");
    EXPECT_STREQ(mon.meskeslog, "./data/MESKES20150304.txt");
    EXPECT_EQ(out,
              "Today's message file name is: ./data/MESKES20150304.txt\n"
              "Today's kest file name is: ./data/KES20150304.txt\n");
    EXPECT_EQ(mon.olddayt, '0');
    EXPECT_EQ(mon.olddayu, '4');
    EXPECT_TRUE(std::filesystem::exists("data/KES20150304.txt"));
    EXPECT_TRUE(std::filesystem::exists("data/MESKES20150304.txt"));
}

TEST_F(LogsTest, NamingAgainKeepsExistingContent) {
    open_day();
    append_record("starting %s\n", VERSION_TEXT);
    testing::internal::CaptureStdout();
    mkmesnm();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(messages(), "0,16/06/2015,14:02:11, starting KESTLOG (build 2015-Jun-19)\n");
}

TEST_F(LogsTest, RecordCarriesNumberAndTimestamp) {
    open_day();
    mon.kesfd = 3;
    append_record("keyboard quit command\n");
    // Text from outside (a parameter line's comment) never drives the
    // terminal that shows the log.
    append_record("comment: <%s>\n", "a\x1b]0;owned\x07\x1b[2Jb");
    EXPECT_EQ(messages(),
              "3,16/06/2015,14:02:11, keyboard quit command\n"
              "3,16/06/2015,14:02:11, comment: <a^[]0;owned\x07^[[2Jb>\n");
}

TEST_F(LogsTest, OverlongRecordIsCutNotOverrun) {
    open_day();
    std::string big(3 * RECORD_MAX, 'x');
    append_record("%s\n", big.c_str());
    std::string m = messages();
    EXPECT_EQ(m.size(), static_cast<size_t>(RECORD_MAX - 1));
    EXPECT_EQ(m.substr(0, 22), "0,16/06/2015,14:02:11,");
}

TEST_F(LogsTest, RemovedDataDirectoryIsRecreated) {
    open_day();
    std::filesystem::remove_all("data");
    EXPECT_TRUE(append_bytes(mon.keslog, "\x02x\x04", 3));
    EXPECT_EQ(status_file(), "\x02x\x04");
}

TEST_F(LogsTest, UnwritableFileIsReportedOncePerMinute) {
    open_day();
    std::filesystem::remove(mon.keslog);
    std::filesystem::create_directory(mon.keslog);  // refused even for root
    testing::internal::CaptureStderr();
    EXPECT_FALSE(append_bytes(mon.keslog, "a", 1));
    EXPECT_FALSE(append_bytes(mon.keslog, "b", 1));
    fake_now += 59;  // the passes' readings
    curdatetim();
    EXPECT_FALSE(append_bytes(mon.keslog, "c", 1));
    fake_now += 1;
    curdatetim();
    EXPECT_FALSE(append_bytes(mon.keslog, "d", 1));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err,
              "./data/KES20150616.txt: Is a directory\n"
              "./data/KES20150616.txt: Is a directory\n");
    // The other file is unaffected and reports of its own are not held back.
    EXPECT_TRUE(append_bytes(mon.meskeslog, "ok\n", 3));
    EXPECT_EQ(messages(), "ok\n");
}

TEST_F(LogsTest, DataDirectoryThatCannotBeMadeAgainIsNamed) {
    open_day();
    std::filesystem::remove_all("data");
    // A plain file where the directory belongs: mkdir and open both fail.
    std::ofstream("data") << "in the way";
    testing::internal::CaptureStderr();
    EXPECT_FALSE(append_bytes(mon.keslog, "a", 1));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "./data/KES20150616.txt: Not a directory\n");

    std::filesystem::remove("data");
    std::filesystem::create_directory("blocked");
    std::filesystem::current_path("blocked");
    std::filesystem::remove("../blocked");  // the working directory itself is gone
    testing::internal::CaptureStderr();
    EXPECT_FALSE(append_bytes(mon.keslog, "b", 1));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "./data/: No such file or directory\n");
}

// A packet the status file refuses is lost, not stored: one failure in each
// minute that loses any, and one record, once storing works again, saying
// how many, from when to when, and why.
TEST_F(LogsTest, LostPacketsCountOnceAMinuteAndAreRecordedAsTheyGo) {
    open_day();
    std::filesystem::remove(mon.keslog);
    std::filesystem::create_directory(mon.keslog);
    // One packet, or two taken together, appended at once.
    const unsigned sizes[] = {3, 3};
    std::vector<bool> stored;
    auto append_packet = [&]() -> bool { return append_packets("\x02x\x04", sizes, 1, &stored); };
    auto pass_at = [](time_t t) {
        fake_now = t;
        curdatetim();
        testing::internal::CaptureStdout();
        testmin();
        testing::internal::GetCapturedStdout();
    };
    testing::internal::CaptureStderr();
    mon.oldmin_key = 201506161402;
    EXPECT_FALSE(append_packet());
    EXPECT_FALSE(append_packets("\x02x\x04\x02x\x04", sizes, 2, &stored));
    EXPECT_EQ(stored, std::vector<bool>({false, false}));
    EXPECT_EQ(mon.kesfm, 1) << "three lost in one minute";
    pass_at(utc(2015, 6, 16, 14, 3, 40));
    EXPECT_FALSE(append_packet());
    EXPECT_EQ(mon.kesfm, 1) << "a new minute, its own failure";
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(mon.packets_lost, 4);
    EXPECT_EQ(mon.today_lost, 4);
    EXPECT_STREQ(mon.today_lost_last, "14:03:40");
    // The account is written as it goes, at the change of minute, not only
    // when storing resumes: a power cut cannot take it.
    const std::string first_minute =
        "1,16/06/2015,14:03:40, 3 packets not stored from 14:02:11 to 14:02:11: Is a directory\n";
    EXPECT_EQ(messages(), first_minute);

    // The message log refuses the record too: it is told to the journal at
    // once, and waits, in order, for the next record the log takes.
    std::filesystem::remove(mon.keslog);
    std::filesystem::remove(mon.meskeslog);
    std::filesystem::create_directory(mon.meskeslog);
    fake_now = utc(2015, 6, 16, 14, 3, 50);
    curdatetim();
    testing::internal::CaptureStderr();
    EXPECT_TRUE(append_packet());
    append_record("comment: <meanwhile>\n");
    std::string journal = testing::internal::GetCapturedStderr();
    const std::string second_minute =
        "2,16/06/2015,14:03:50, 1 packets not stored from 14:03:40 to 14:03:40: Is a directory\n";
    EXPECT_NE(journal.find("./data/MESKES20150616.txt: not written yet: " + second_minute), std::string::npos)
        << journal;
    EXPECT_EQ(mon.kesfd, 2);
    std::filesystem::remove(mon.meskeslog);
    append_record("comment: <later>\n");
    const std::string recorded = second_minute + "2,16/06/2015,14:03:50, comment: <meanwhile>\n" +
                                 "2,16/06/2015,14:03:50, comment: <later>\n";
    EXPECT_EQ(messages(), recorded);
    EXPECT_TRUE(append_packets("\x02y\x04\x02z\x04", sizes, 2, &stored));
    EXPECT_EQ(status_file(), "\x02x\x04\x02y\x04\x02z\x04");
    EXPECT_EQ(messages(), recorded) << "recorded once";
}

// What a power cut leaves: a packet or record cut short, or the run of NUL
// bytes a file system leaves after a crash. Moved aside, never deleted.
TEST_F(LogsTest, TornTailsAreMovedAsideWhole) {
    open_day();
    struct Case {
        const char* name;
        std::string text;
        char end;
        size_t kept;
    } cases[] = {
        {"cut inside a packet", std::string("\x01one\x04\x01tw", 8), '\x04', 5},
        {"a NUL run", std::string("\x01one\x04\x02t\x04") + std::string(70000, '\0'), '\x04', 8},
        {"no packet at all", std::string(10, '\0'), '\x04', 0},
        {"whole", std::string("\x01one\x04", 5), '\x04', 5},
        {"a record cut short", "1,16/06/2015,14:02:11, starting\n2,16/06/20", '\n', 32},
        {"empty", "", '\n', 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove("data/f.torn");
        std::ofstream("data/f", std::ios::binary | std::ios::trunc) << c.text;
        char torn[64];
        EXPECT_EQ(repair_torn_tail("data/f", c.end, torn, sizeof torn),
                  static_cast<long>(c.text.size() - c.kept));
        EXPECT_STREQ(torn, "data/f.torn");
        EXPECT_EQ(slurp("data/f"), c.text.substr(0, c.kept));
        EXPECT_EQ(slurp("data/f.torn"), c.text.substr(c.kept));
    }
    char torn[64];
    EXPECT_EQ(repair_torn_tail("data/missing", '\n', torn, sizeof torn), 0);
    // The plan of the move is written first: where it cannot be, nothing
    // moves, so that a crash can never leave a tail half moved, unplanned.
    std::ofstream("data/g", std::ios::binary) << std::string("\x01one\x04\x01tw", 8);
    std::filesystem::create_directory("data/g.torn.moving");
    testing::internal::CaptureStderr();
    EXPECT_EQ(repair_torn_tail("data/g", '\x04', torn, sizeof torn), -1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("data/g.torn"), std::string::npos);
    EXPECT_EQ(slurp("data/g").size(), 8u);
    EXPECT_EQ(std::filesystem::exists("data/g.torn") ? std::filesystem::file_size("data/g.torn") : 0u, 0u);
}

// The files a run that passed midnight was writing are mended too; one
// whose copy cannot be made takes nothing until it can, and then records
// the repair.
TEST_F(LogsTest, TheNewestFilesOfAnyDayAreMendedAndARefusedRepairHoldsAppendsBack) {
    open_day();  // the 16th
    std::ofstream("data/KES20150615.txt", std::ios::binary) << std::string("\x01one\x04\x01tw", 8);
    std::ofstream("data/MESKES20000101.txt") << "0,01/01/2000,00:00:10, starting\n1,16/06/20";
    std::ofstream("data/KES20150614.txt", std::ios::binary) << std::string(
        "\x01old\x04\x01"
        "cut",
        9);
    const std::string today = std::string(mon.keslog);
    std::ofstream(today, std::ios::binary) << std::string(
        "\x02ok\x04\x02"
        "cu",
        7);
    std::filesystem::last_write_time("data/KES20150614.txt",
                                     std::filesystem::file_time_type::clock::now() - std::chrono::hours(48));
    std::filesystem::create_directory(today + ".torn");  // refuses the copy
    std::vector<TornRepair> done = repair_torn_files();
    ASSERT_EQ(done.size(), 3u);
    EXPECT_EQ(slurp("data/KES20150615.txt.torn"), "\x01tw");
    EXPECT_EQ(slurp("data/MESKES20000101.txt.torn"), "1,16/06/20");
    EXPECT_EQ(slurp("data/KES20150614.txt").size(), 9u) << "only the newest of another day";
    EXPECT_EQ(slurp(today), std::string("\x02ok\x04\x02"
                                        "cu",
                                        7));

    std::vector<bool> stored;
    unsigned size = 4;
    EXPECT_FALSE(append_packets("\x02p1\x04", &size, 1, &stored));
    EXPECT_EQ(slurp(today), std::string("\x02ok\x04\x02"
                                        "cu",
                                        7))
        << "appended after a torn tail";
    std::filesystem::remove(today + ".torn");
    EXPECT_TRUE(append_packets("\x02p2\x04", &size, 1, &stored));
    EXPECT_EQ(slurp(today), "\x02ok\x04\x02p2\x04");
    EXPECT_EQ(slurp(today + ".torn"),
              "\x02"
              "cu");
    std::string messages = slurp(mon.meskeslog);
    EXPECT_NE(messages.find(today.substr(0) + " ended inside a packet: 3 bytes moved to "), std::string::npos)
        << messages;
    EXPECT_NE(messages.find(" 1 packets not stored from 14:02:11 to 14:02:11: torn tail not moved aside\n"),
              std::string::npos)
        << messages;

    // Held back by a second name of the file itself: that is the reason given.
    std::ofstream(today, std::ios::binary | std::ios::app) << "\x02torn";
    std::filesystem::create_hard_link(today, "data/second-name");
    repair_torn_files();
    EXPECT_FALSE(append_packets("\x02p3\x04", &size, 1, &stored));
    std::filesystem::remove("data/second-name");
    EXPECT_TRUE(append_packets("\x02p4\x04", &size, 1, &stored));
    messages = slurp(mon.meskeslog);
    EXPECT_NE(messages.find(" 1 packets not stored from 14:02:11 to 14:02:11: has other hard links\n"),
              std::string::npos)
        << messages;
}

// What raised the count since the last alert, as its body shows it: one line
// for each kind (a fault for each code), how many and from when to when; a
// refusal noted twice at once is one; at most 20 lines and how many more.
TEST_F(LogsTest, AlertCausesAreGatheredByKindAndCapped) {
    auto record = [](int minute, int second, const std::string& text) {
        char head[64];
        snprintf(head, sizeof head, "1,07/12/2026,22:%02d:%02d, ", minute, second);
        return head + text + "\n";
    };
    std::vector<std::string> lost_and_quiet = {record(44, 10, "serial port /dev/kest1 lost: hang-up")};
    for (int m = 46; m <= 58; m++)
        lost_and_quiet.push_back(record(m, 0, "no good kest packets in 5 minutes."));
    std::vector<std::string> many;
    for (int i = 0; i < 25; i++) many.push_back("./data/KES" + std::to_string(i) + ".txt: Permission denied");
    std::string twenty;
    for (int i = 0; i < 20; i++)
        twenty += "  ./data/KES" + std::to_string(i) + ".txt: Permission denied, at 14:02:11\n";
    struct Case {
        const char* what;
        std::vector<std::string> noted;
        std::string block;
    } cases[] = {
        {"a loss, then 13 quiet minutes", lost_and_quiet,
         "  serial port /dev/kest1 lost: hang-up, at 22:44:10\n"
         "  no good kest packets in 13 minutes, 22:46 to 22:58\n"},
        {"faults by code, framing by kind",
         {record(1, 5, "kest fault code=0010 ,+12V"), record(1, 6, "kest fault code=0008 ,+5V"),
          record(2, 7, "kest fault code=0010 ,+12V"),
          record(3, 0, "kest packet not between 0x01/2 and 0x04, 00 04"),
          record(4, 0, "kest packet not between 0x01/2 and 0x04, 01 02")},
         "  kest fault code=0010 ,+12V in 2 packets, 22:01 to 22:02\n"
         "  kest fault code=0008 ,+5V, at 22:01:06\n"
         "  2 kest packets not between 0x01/2 and 0x04, 22:03 to 22:04\n"},
        {"a refusal reported and counted at once, then again",
         {"./data/KES1.txt: No space left on device", "./data/KES1.txt: No space left on device",
          record(5, 0, "x"), "./data/KES1.txt: No space left on device"},
         "  ./data/KES1.txt: No space left on device (2 times), 14:02 to 14:02\n  x, at 22:05:00\n"},
        {"25 kinds", many, twenty + "  \u2026 and 5 more\n"},
        {"nothing", {}, ""},
    };
    curdatetim();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (const std::string& line : c.noted) note_alert_cause(line);
        EXPECT_EQ(take_alert_causes(), c.block);
    }
}

// A move of a torn tail that a crash cut short, at any point, is finished by
// the next try with each torn byte in .torn once: the plan left beside it
// says how far the move had come. A copy the disk refuses part-way is cut
// back, and the next try copies the tail once.
TEST_F(LogsTest, ARepairCutShortAnywhereLeavesEachTornByteOnce) {
    open_day();
    const std::string whole("\x01one\x04", 5), old = "old", tail(300018, 't');
    const std::string plan = "3 5 " + std::to_string(whole.size() + tail.size()) + "\n";
    struct Case {
        const char* crash;
        std::string file, torn;  // as the crash left them
        bool planned;
    } cases[] = {
        {"before the copy began", whole + tail, old, true},
        {"during the copy's second write", whole + tail, old + tail.substr(0, 65536), true},
        {"between the copy's sync and the cut", whole + tail, old + tail, true},
        {"after the cut, before the plan went", whole, old + tail, true},
        {"with no move under way", whole + tail, old, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.crash);
        std::ofstream("data/f", std::ios::binary | std::ios::trunc) << c.file;
        std::ofstream("data/f.torn", std::ios::binary | std::ios::trunc) << c.torn;
        std::filesystem::remove("data/f.torn.moving");
        if (c.planned) std::ofstream("data/f.torn.moving") << plan;
        char torn[64];
        EXPECT_EQ(repair_torn_tail("data/f", '\x04', torn, sizeof torn), static_cast<long>(tail.size()));
        EXPECT_EQ(slurp("data/f"), whole);
        EXPECT_TRUE(slurp("data/f.torn") == old + tail) << slurp("data/f.torn").size() << " bytes in .torn";
        EXPECT_FALSE(std::filesystem::exists("data/f.torn.moving"));
        EXPECT_EQ(repair_torn_tail("data/f", '\x04', torn, sizeof torn), 0) << "mended once";
    }

    // The disk refuses the copy part-way (a file-size limit): cut back, then
    // copied once when it takes it.
    std::ofstream("data/f", std::ios::binary | std::ios::trunc) << whole + tail;
    std::ofstream("data/f.torn", std::ios::binary | std::ios::trunc) << old;
    struct rlimit before, limited;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
    limited = before;
    limited.rlim_cur = 100000;
    void (*was)(int) = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    char torn[64];
    testing::internal::CaptureStderr();
    long refused = repair_torn_tail("data/f", '\x04', torn, sizeof torn);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &before), 0);
    signal(SIGXFSZ, was);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "data/f.torn: File too large\n");
    EXPECT_EQ(refused, -1);
    EXPECT_EQ(slurp("data/f.torn"), old);
    EXPECT_EQ(slurp("data/f").size(), whole.size() + tail.size());
    EXPECT_EQ(repair_torn_tail("data/f", '\x04', torn, sizeof torn), static_cast<long>(tail.size()));
    EXPECT_TRUE(slurp("data/f.torn") == old + tail);
}
