// Files that cannot be written: the logger keeps running, says what failed
// and never leaves a packet or record half-written.
#include <filesystem>

#include "e2e/e2e.h"

namespace fs = std::filesystem;

TEST(WriteFaults, StatusFileThatCannotBeOpenedIsReportedAndLoggingGoesOn) {
    Logger log;
    LoggerOptions opts;
    opts.faketime = "@2015-06-16 14:02:11";
    log.start(opts);
    std::string status = log.dir() + "/" + status_path("20150616");
    fs::remove(status);
    fs::create_directory(status);  // refused even to root
    log.write_serial(stx_packet("lost") + "\x04");
    ASSERT_TRUE(log.wait_file_contains(message_path("20150616"), "0x01/2 and 0x04, 00 04\n"));
    EXPECT_TRUE(log.wait_file_contains("stderr.txt", "./data/KES20150616.txt: Is a directory\n"));
    EXPECT_TRUE(log.running());

    fs::remove(status);
    log.write_serial(stx_packet("after the fault"));
    EXPECT_TRUE(log.wait_file(status_path("20150616"), stx_packet("after the fault")));
}

TEST(WriteFaults, RemovedDataDirectoryIsRecreated) {
    Logger log;
    LoggerOptions opts;
    opts.faketime = "@2015-06-16 14:02:11";
    log.start(opts);
    fs::remove_all(log.dir() + "/data");
    log.write_serial(stx_packet("one") + "\x04");
    EXPECT_TRUE(log.wait_file(status_path("20150616"), stx_packet("one")));
    EXPECT_TRUE(log.wait_file_contains(message_path("20150616"), "1,16/06/2015,14:0"));
    EXPECT_EQ(log.stderr_text().find("./data/"), std::string::npos) << log.stderr_text();
}

TEST(WriteFaults, FullDiskNeverLeavesHalfAPacket) {
    Logger log;
    LoggerOptions opts;
    opts.faketime = "@2015-06-16 14:02:11";
    opts.file_size_limit = 1000;
    log.start(opts);
    std::string p = stx_packet(std::string(298, 'p'));  // 300 bytes: three fit, a fourth does not
    log.write_serial(p + p + p + p);
    EXPECT_TRUE(log.wait_file_contains("stderr.txt", "./data/KES20150616.txt: File too large\n"));
    EXPECT_EQ(log.file(status_path("20150616")), p + p + p);
    EXPECT_TRUE(log.running());
    // Room again (a new day's file would do the same): a shorter packet fits.
    std::string small = stx_packet("fits");
    log.write_serial(small);
    EXPECT_TRUE(log.wait_file(status_path("20150616"), p + p + p + small));
}
