#include <sys/stat.h>

#include "testutil.h"

using LogsTest = StateTest;

TEST_F(LogsTest, DailyNamesUseTwoDigitDayAndMonth) {
    fake_now = utc(2015, 3, 4, 10, 0, 0);
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
    EXPECT_EQ(messages(), "3,16/06/2015,14:02:11, keyboard quit command\n");
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
    fake_now += 59;
    EXPECT_FALSE(append_bytes(mon.keslog, "c", 1));
    fake_now += 1;
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
