// Files that cannot be written: the logger keeps running, says what failed
// and never leaves a packet or record half-written.
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "e2e/e2e.h"

namespace fs = std::filesystem;

// A packet that cannot be stored is lost, not stored: a failure in each
// minute that loses one, so the alert e-mail follows and names the file and
// the reason; neither the counts nor the last good packet move, and once
// storing works again one record says how many were lost, when and why.
TEST(WriteFaults, PacketsTheStatusFileRefusesAreLostCountedMailedAndRecorded) {
    Logger log;
    log.install_command("mail", "#!/bin/sh\ncat > mail.body\n");
    LoggerOptions opts;
    opts.parfile += "metrics_file=metrics.prom\n";
    opts.faketime = "@2015-06-16 14:02:41 x10";
    log.start(opts);
    std::string status = log.dir() + "/" + status_path("20150616");
    fs::remove(status);
    fs::create_directory(status);  // refused even to root
    log.write_serial(stx_packet("lost") + "\x04");
    ASSERT_TRUE(log.wait_file_contains(message_path("20150616"), "0x01/2 and 0x04, 00 04\n"));
    EXPECT_TRUE(log.wait_file_contains("stderr.txt", "./data/KES20150616.txt: Is a directory\n"));
    // One failure for the frame, one for the minute that lost a packet.
    ASSERT_TRUE(log.wait_console("kesfm=2 kesfd=1\n", 10000));
    EXPECT_TRUE(log.wait_file_contains(
        "mail.body", "kesfm=2 kesfd=1\n" + site_line() + "./data/KES20150616.txt: Is a directory\n0,"));

    // Two more lost in the next minute: one failure for the minute.
    size_t from = log.console().size();
    log.write_serial(stx_packet("lost too") + stx_packet("and this"));
    ASSERT_TRUE(log.wait_console(stx_packet("and this"), 5000, from));
    log.type("status\r");
    ASSERT_TRUE(log.wait_console("e-mail: ", 5000, from));
    EXPECT_TRUE(has_match(log.console().substr(from),
                          "last good packet: none since start\npackets today: 0 status, 0 message\n"
                          "not stored today: 3 packets, last at 14:03:\\d\\d\nfailures this hour: 3\n"))
        << log.console().substr(from);
    ASSERT_TRUE(log.wait_console("kesfm=1 kesfd=1\n", 10000, from));
    EXPECT_TRUE(log.running());

    fs::remove(status);
    log.write_serial(stx_packet("after the fault"));
    EXPECT_TRUE(log.wait_file(status_path("20150616"), stx_packet("after the fault")));
    EXPECT_TRUE(has_match(log.file(message_path("20150616")),
                          "\n2,16/06/2015,14:0[45]:\\d\\d, 3 packets not stored from 14:02:\\d\\d to "
                          "14:03:\\d\\d: Is a directory\n$"))
        << log.file(message_path("20150616"));
    ASSERT_TRUE(log.wait_file_contains("metrics.prom", "kind=\"message\"} 1\n", 10000));
    std::string metrics = log.file("metrics.prom");
    EXPECT_NE(metrics.find(",reason=\"storage\"} 3\n"), std::string::npos) << metrics;
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

// Root is never refused, so the logger runs as nobody here while its data
// directory and files are made read-only under it, and later the directory
// is removed where it cannot be made again.
TEST(WriteFaults, UnwritableDataDirectoryIsReportedAndLoggingResumesWhenCleared) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run the logger as an unprivileged user";
    struct passwd* nobody = getpwnam("nobody");
    if (!nobody) GTEST_SKIP() << "no user nobody here";
    Logger log;
    ASSERT_EQ(chown(log.serial_name().c_str(), nobody->pw_uid, nobody->pw_gid), 0) << strerror(errno);
    LoggerOptions opts;
    opts.run_as = "nobody";
    log.start(opts);  // the real clock: the fake one's shared memory is root's
    std::smatch m;
    std::string console = log.console();
    ASSERT_TRUE(std::regex_search(console, m, std::regex("file name is: \\./(data/KES\\d{8}\\.txt)")));
    const std::string status = m[1];
    const std::string data = log.dir() + "/data";

    log.write_serial(stx_packet("before"));
    ASSERT_TRUE(log.wait_file(status, stx_packet("before")));

    for (const auto& entry : fs::directory_iterator(data)) chmod(entry.path().c_str(), 0444);
    chmod(data.c_str(), 0555);
    log.write_serial(stx_packet("refused") + "\x04");
    EXPECT_TRUE(log.wait_file_contains("stderr.txt", "./" + status + ": Permission denied\n"));
    EXPECT_TRUE(log.wait_file_contains("stderr.txt", "./data/MESKES"));
    EXPECT_TRUE(has_match(log.stderr_text(), "\\./data/MESKES\\d{8}\\.txt: Permission denied\n"));
    EXPECT_TRUE(log.running());

    chmod(data.c_str(), 0775);
    for (const auto& entry : fs::directory_iterator(data)) chmod(entry.path().c_str(), 0664);
    log.write_serial(stx_packet("after"));
    EXPECT_TRUE(log.wait_file(status, stx_packet("before") + stx_packet("after")));

    // Gone, and its parent closed to the logger: the directory is what is named.
    fs::remove_all(data);
    chmod(log.dir().c_str(), 0555);
    log.write_serial(stx_packet("nowhere"));
    EXPECT_TRUE(log.wait_file_contains("stderr.txt", "./data/: Permission denied\n"));
    EXPECT_TRUE(log.running());

    chmod(log.dir().c_str(), 0755);
    log.write_serial(stx_packet("again"));
    EXPECT_TRUE(log.wait_file(status, stx_packet("again")));
}

// Once a pass the files appended to are flushed to the disk, ./data/ too
// when a day's file was made in it, and the metrics file before its rename:
// a power cut loses at most the last second. Seen through strace.
TEST(WriteFaults, StoredFilesAreFlushedToTheDiskOnceAPass) {
    if (access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "no strace (Debian: strace)";
    Logger log;
    LoggerOptions opts;
    opts.parfile += "kessendmail=N\nmetrics_file=metrics.prom\n";
    start_at(log, "2015-06-16 23:59:45 x10", opts);
    const std::string trace = log.dir() + "/strace.txt";
    pid_t tracer = fork();
    if (tracer == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execl("/usr/bin/strace", "strace", "-f", "-y", "-e", "trace=fdatasync,fsync", "-o", trace.c_str(),
              "-p", std::to_string(log.pid()).c_str(), (char*)nullptr);
        _exit(127);
    }
    usleep(300000);  // attached
    log.write_serial(stx_packet("before midnight"));
    ASSERT_TRUE(log.wait_file(status_path("20150616"), stx_packet("before midnight")));
    ASSERT_TRUE(log.wait_console("Today's kest file name is: ./data/KES20150617.txt\n", 10000));
    log.write_serial(stx_packet("after midnight"));
    ASSERT_TRUE(log.wait_file(status_path("20150617"), stx_packet("after midnight")));
    ASSERT_TRUE(log.wait_file_contains("metrics.prom", "kestlog_start_time_seconds", 10000));
    log.read_console(500);
    kill(tracer, SIGINT);
    waitpid(tracer, nullptr, 0);
    std::string calls = log.file("strace.txt");
    if (calls.find("attach: ptrace") != std::string::npos)
        GTEST_SKIP() << "strace may not attach here: " << calls;
    for (const std::string& synced :
         {"fdatasync\\(\\d+<" + lit(log.dir()) + "/data/KES20150616\\.txt>\\) = 0",
          "fsync\\(\\d+<" + lit(log.dir()) + "/data>\\) = 0",
          "fdatasync\\(\\d+<" + lit(log.dir()) + "/data/KES20150617\\.txt>\\) = 0",
          "fsync\\(\\d+<" + lit(log.dir()) + "/metrics\\.prom\\.\\d+\\.tmp>\\) = 0"})
        EXPECT_TRUE(has_match(calls, synced)) << synced << "\n" << calls;
}
