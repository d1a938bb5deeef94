// Files that cannot be written: the logger keeps running, says what failed
// and never leaves a packet or record half-written.
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "e2e/e2e.h"

namespace fs = std::filesystem;

// A packet that cannot be stored is lost, not stored: a failure in each
// minute that loses one, so the alert e-mail follows and names the file and
// the reason; neither the counts nor the last good packet move, and at each
// change of minute a record says how many the minute lost, when and why, so
// that a power cut cannot take the account. The next hour's alert tells only
// of its own minute.
TEST(WriteFaults, PacketsTheStatusFileRefusesAreLostCountedMailedAndRecorded) {
    Logger log;
    log.install_command("mail", "#!/bin/sh\ncat > mail.body\n");
    LoggerOptions opts;
    opts.parfile += "metrics_file=metrics.prom\n";
    opts.faketime = "@2015-06-16 14:58:41 x10";
    log.start(opts);
    std::string status = log.dir() + "/" + status_path("20150616");
    fs::remove(status);
    fs::create_directory(status);  // refused even to root
    log.write_serial(stx_packet("lost") + "\x04");
    ASSERT_TRUE(log.wait_file_contains(message_path("20150616"), "0x01/2 and 0x04, 00 04\n"));
    EXPECT_TRUE(log.wait_file_contains("stderr.txt", "./data/KES20150616.txt: Is a directory\n"));
    // One failure for the frame, one for the minute that lost a packet,
    // whose account is the minute's last record.
    ASSERT_TRUE(log.wait_console("kesfm=2 kesfd=2\n", 10000));
    // The body names the causes, the frame as it was read, the refusal as
    // the packets were stored and the minute's account, before the tail.
    EXPECT_TRUE(log.wait_file_contains("mail.body", look_closer(log.dir())));
    EXPECT_TRUE(has_match(log.file("mail.body"),
                          "^kesfm=2 kesfd=2\n" + lit(site_line()) + "What failed since the last alert:\n" +
                              "  kest packet not between 0x01/2 and 0x04, 00 04, at 14:58:\\d\\d\n"
                              "  \\./data/KES20150616\\.txt: Is a directory, at 14:58:\\d\\d\n"
                              "  1 packets not stored from 14:58:\\d\\d to 14:58:\\d\\d: Is a directory, at "
                              "14:59:\\d\\d\nThe last lines"))
        << log.file("mail.body");

    // Two more lost in the next minute: one failure for the minute.
    size_t from = log.console().size();
    log.write_serial(stx_packet("lost too") + stx_packet("and this"));
    ASSERT_TRUE(log.wait_console(stx_packet("and this"), 5000, from));
    log.type("status\r");
    ASSERT_TRUE(log.wait_console("e-mail: ", 5000, from));
    EXPECT_TRUE(has_match(log.console().substr(from),
                          "last good packet: none since start\npackets today: 0 status, 0 message\n"
                          "not stored today: 3 packets, last at 14:59:\\d\\d\nfailures this hour: 3\n"))
        << log.console().substr(from);
    ASSERT_TRUE(log.wait_console("kesfm=1 kesfd=3\n", 10000, from));
    EXPECT_TRUE(log.running());
    // Minute 14:59 lost packets without a new report: its mail, the first of
    // hour 15, names the refusal that lost them, once, and the minute's
    // account, and no storage failure of an earlier minute.
    ASSERT_TRUE(log.wait_console("sent kesfail", 10000, log.console().find("kesfm=1 kesfd=3\n", from)));
    EXPECT_TRUE(
        has_match(log.file("mail.body"), "^kesfm=1 kesfd=3\n" + lit(site_line()) +
                                             "What failed since the last alert:\n"
                                             "  \\./data/KES20150616\\.txt: Is a directory, at "
                                             "14:59:\\d\\d\n  2 packets not stored [^\n]*, at 15:00:\\d\\d\n"
                                             "The last lines"))
        << log.file("mail.body");

    fs::remove(status);
    log.write_serial(stx_packet("after the fault"));
    EXPECT_TRUE(log.wait_file(status_path("20150616"), stx_packet("after the fault")));
    EXPECT_TRUE(has_match(log.file(message_path("20150616")),
                          "\n2,16/06/2015,14:59:\\d\\d, 1 packets not stored from 14:58:\\d\\d to "
                          "14:58:\\d\\d: Is a directory\n"
                          "3,16/06/2015,15:00:\\d\\d, 2 packets not stored from 14:59:\\d\\d to "
                          "14:59:\\d\\d: Is a directory\n$"))
        << log.file(message_path("20150616"));
    ASSERT_TRUE(log.wait_file_contains("metrics.prom", "kind=\"message\"} 1\n", 10000));
    std::string metrics = log.file("metrics.prom");
    EXPECT_NE(metrics.find(",reason=\"storage\"} 3\n"), std::string::npos) << metrics;
    EXPECT_TRUE(has_match(metrics, "\nkestlog_storage_failures_total\\{[^}]*\\} 3\n")) << metrics;
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
// a power cut loses at most the last second. And a torn tail left by the
// last power cut is on the disk in its .torn copy before it is cut from the
// file. Seen through strace.
TEST(WriteFaults, StoredFilesAreFlushedToTheDiskOnceAPass) {
    if (std::system("strace -o /dev/null true >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "strace cannot trace here (Debian: strace)";
    Logger log;
    fs::create_directory(log.dir() + "/data");
    std::ofstream(log.dir() + "/" + status_path("20150616"), std::ios::binary)
        << stx_packet("whole") + "\x02torn";
    LoggerOptions opts;
    opts.parfile += "kessendmail=N\nmetrics_file=metrics.prom\n";
    opts.strace = "fdatasync,fsync,ftruncate";
    start_at(log, "2015-06-16 23:59:45 x10", opts);
    log.write_serial(stx_packet("before midnight"));
    ASSERT_TRUE(log.wait_file(status_path("20150616"), stx_packet("whole") + stx_packet("before midnight")));
    ASSERT_TRUE(log.wait_console("Today's kest file name is: ./data/KES20150617.txt\n", 10000));
    log.write_serial(stx_packet("after midnight"));
    ASSERT_TRUE(log.wait_file(status_path("20150617"), stx_packet("after midnight")));
    const std::string data = lit(log.dir()) + "/data";
    const std::string torn_synced = "fsync\\(\\d+<" + data + "/KES20150616\\.txt\\.torn>\\) = 0";
    const std::string cut = "ftruncate\\(\\d+<" + data + "/KES20150616\\.txt>, 7\\) = 0";
    const std::vector<std::string> calls = {
        torn_synced,
        cut,
        "fdatasync\\(\\d+<" + data + "/KES20150616\\.txt>\\) = 0",
        "fsync\\(\\d+<" + data + ">\\) = 0",
        "fdatasync\\(\\d+<" + data + "/KES20150617\\.txt>\\) = 0",
        "fsync\\(\\d+<" + lit(log.dir()) + "/\\.metrics\\.prom\\.\\w{6}>\\) = 0"};
    auto all_seen = [&] {
        std::string trace = log.file("strace.txt");
        return std::all_of(calls.begin(), calls.end(),
                           [&](const std::string& c) { return has_match(trace, c); });
    };
    // Written as they are made, while the logger runs on.
    for (int waited = 0; waited < 10000 && !all_seen(); waited += 50) log.read_console(50);
    const std::string trace = log.file("strace.txt");
    for (const std::string& c : calls) EXPECT_TRUE(has_match(trace, c)) << c << "\n" << trace;
    std::smatch synced, cut_at;
    ASSERT_TRUE(std::regex_search(trace, synced, std::regex(torn_synced)));
    ASSERT_TRUE(std::regex_search(trace, cut_at, std::regex(cut)));
    EXPECT_LT(synced.position(), cut_at.position()) << "the tail was cut before its copy was synced\n"
                                                    << trace;
    // The new .torn file's name is on the disk before the tail is cut.
    std::smatch dir_synced;
    std::string after_copy = trace.substr(static_cast<size_t>(synced.position()));
    ASSERT_TRUE(std::regex_search(after_copy, dir_synced, std::regex("fsync\\(\\d+<" + data + ">\\) = 0")));
    EXPECT_LT(synced.position() + dir_synced.position(), cut_at.position()) << trace;
    EXPECT_EQ(log.file(status_path("20150616") + ".torn"), "\x02torn");
}

// The logger's group may read its files, never point them elsewhere: a link
// planted at a name the logger writes is refused as a full disk is, and
// what it points at is never touched. A torn tail that cannot be moved
// aside takes no packet until it can be; the repair is tried again before
// each one.
TEST(WriteFaults, LinksPlantedInItsDirectoriesAreRefusedNeverWrittenThrough) {
    Logger log;
    const std::string dir = log.dir();
    // What other programs read has its own modes, whatever the logger's umask.
    mode_t old_mask = umask(0002);
    std::ofstream(dir + "/secret") << "secret\n";
    ASSERT_EQ(chmod((dir + "/secret").c_str(), 0600), 0);
    fs::create_directory(dir + "/data");
    const std::string status = status_path("20150616");
    std::ofstream(dir + "/" + status, std::ios::binary) << stx_packet("whole") + "\x02torn";
    fs::create_symlink(dir + "/planted", dir + "/" + status + ".torn");
    fs::create_symlink(dir + "/secret", dir + "/lastmailmsg");
    log.install_command("mail", "#!/bin/sh\ncat > mail.body\n");
    LoggerOptions opts;
    opts.parfile += "metrics_file=metrics.prom\n";
    start_at(log, "2015-06-16 14:02:11 x10", opts);
    EXPECT_TRUE(log.wait_file_contains("stderr.txt", "./" + status + ".torn: a symbolic link\n"));

    log.write_serial(stx_packet("held back"));
    EXPECT_TRUE(log.wait_file_contains("stderr.txt", "./" + status + ": torn tail not moved aside\n"));
    fs::remove(dir + "/" + status + ".torn");
    log.write_serial(stx_packet("after the repair"));
    EXPECT_TRUE(log.wait_file(status, stx_packet("whole") + stx_packet("after the repair")));
    EXPECT_EQ(log.file(status + ".torn"), "\x02torn");
    EXPECT_TRUE(log.wait_file_contains(
        message_path("20150616"),
        " ./" + status + " ended inside a packet: 5 bytes moved to ./" + status + ".torn\n"));
    EXPECT_TRUE(has_match(
        log.file(message_path("20150616")),
        ", 1 packets not stored from 14:0\\d:\\d\\d to 14:0\\d:\\d\\d: torn tail not moved aside\n"))
        << log.file(message_path("20150616"));
    // The alert's body replaced the link instead of writing through it.
    EXPECT_TRUE(log.wait_file_contains("mail.body", "kesfm=", 20000));
    EXPECT_FALSE(fs::is_symlink(dir + "/lastmailmsg"));
    umask(old_mask);
    struct stat st;
    ASSERT_EQ(stat((dir + "/lastmailmsg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0664u) << "the body: 0666 less the umask";
    ASSERT_TRUE(log.wait_file_contains("metrics.prom", "kestlog_line_up", 20000));
    ASSERT_EQ(stat((dir + "/metrics.prom").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u)
        << "the metrics: read by another service, written by the logger alone";

    // A link in place of the day's file while the logger runs.
    fs::remove(dir + "/" + status);
    fs::create_symlink(dir + "/secret", dir + "/" + status);
    // (A file's failures are reported at most once a minute: packets until then.)
    bool reported = false;
    for (int i = 0; i < 30 && !reported; i++) {
        log.write_serial(stx_packet("not through the link"));
        reported = log.wait_file_contains("stderr.txt", "./" + status + ": a symbolic link\n", 1000);
    }
    EXPECT_TRUE(reported) << log.stderr_text();
    // A FIFO in its place, even one with a reader, neither holds the logger
    // up nor takes a packet.
    fs::remove(dir + "/" + status);
    ASSERT_EQ(mkfifo((dir + "/" + status).c_str(), 0644), 0);
    int reader = open((dir + "/" + status).c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0) << strerror(errno);
    reported = false;
    for (int i = 0; i < 30 && !reported; i++) {
        log.write_serial(stx_packet("not into a FIFO"));
        reported = log.wait_file_contains("stderr.txt", "./" + status + ": not a regular file\n", 1000);
    }
    EXPECT_TRUE(reported) << log.stderr_text();
    char byte;
    EXPECT_LE(read(reader, &byte, 1), 0) << "a packet went into the FIFO";
    close(reader);
    // Without a reader, opening it would wait for one, for ever: refused at
    // once, and the next packet is stored when the day's file is back.
    size_t from = log.console().size();
    log.write_serial(stx_packet("not into a FIFO either"));
    ASSERT_TRUE(log.wait_console(stx_packet("not into a FIFO either"), 5000, from));
    log.type("status\r");  // answered after the packet met the FIFO, unless that holds the logger up
    EXPECT_TRUE(log.wait_console("e-mail: ", 5000, from)) << "the logger waits on the FIFO";
    fs::remove(dir + "/" + status);
    log.write_serial(stx_packet("stored again"));
    EXPECT_TRUE(log.wait_file_contains(status, stx_packet("stored again"))) << "the logger waits on the FIFO";
    // A second name, planted where the logger writes: refused like a link.
    std::ofstream(dir + "/other-name") << "someone's\n";
    ASSERT_EQ(chmod((dir + "/other-name").c_str(), 0600), 0);
    fs::remove(dir + "/" + status);
    ASSERT_EQ(link((dir + "/other-name").c_str(), (dir + "/" + status).c_str()), 0);
    reported = false;
    for (int i = 0; i < 30 && !reported; i++) {
        log.write_serial(stx_packet("not into another's file"));
        reported = log.wait_file_contains("stderr.txt", "./" + status + ": has other hard links\n", 1000);
    }
    EXPECT_TRUE(reported) << log.stderr_text();
    EXPECT_EQ(log.file("other-name"), "someone's\n");
    log.type("quit\r");
    EXPECT_EQ(log.wait_exit(10000), 0);
    EXPECT_EQ(log.file("secret"), "secret\n");
    EXPECT_FALSE(fs::exists(dir + "/planted"));
    // The last counts, as they were when it stopped.
    EXPECT_TRUE(has_match(log.file("metrics.prom"),
                          "kestlog_packets_lost_total\\{[^}]*reason=\"storage\"\\} ([2-9]|\\d\\d+)\n"))
        << log.file("metrics.prom");

    // A link or a second name at the lock file: no start, and nothing
    // written through it, nor emptied.
    for (bool hard : {false, true}) {
        Logger locked;
        if (hard)
            ASSERT_EQ(link((dir + "/secret").c_str(), (locked.dir() + "/kestlog.lock").c_str()), 0);
        else
            fs::create_symlink(dir + "/secret", locked.dir() + "/kestlog.lock");
        locked.start(LoggerOptions(), false);
        EXPECT_EQ(locked.wait_exit(10000), 255);
        EXPECT_TRUE(has_match(locked.stderr_text(), hard ? "(^|\n)kestlog.lock: has other hard links\n"
                                                         : "(^|\n)kestlog.lock: a symbolic link\n"))
            << locked.stderr_text();
        EXPECT_EQ(log.file("secret"), "secret\n");
        unlink((locked.dir() + "/kestlog.lock").c_str());
    }

    // A link at today's status file before the logger starts: it starts all
    // the same, as it goes on when one is planted later, and the packets it
    // cannot store are counted, recorded and mailed.
    Logger planted;
    planted.install_command("mail", "#!/bin/sh\ncat > mail.body\n");
    fs::create_directory(planted.dir() + "/data");
    fs::create_symlink(dir + "/secret", planted.dir() + "/" + status);
    start_at(planted, "2015-06-16 14:02:11 x10");
    EXPECT_TRUE(planted.wait_file_contains("stderr.txt", "./" + status + ": a symbolic link\n"));
    planted.write_serial(stx_packet("not through the link"));
    EXPECT_TRUE(planted.wait_file_contains(message_path("20150616"), " 1 packets not stored from ", 20000));
    EXPECT_TRUE(
        planted.wait_file_contains("mail.body", "./" + status + ": a symbolic link, at 14:02:11\n", 20000))
        << planted.file("mail.body");
    EXPECT_EQ(log.file("secret"), "secret\n");
}

// A disk that refuses the message log too when the logger stops: the
// account of what was lost goes to standard error (the journal), and the
// metrics file gets the final counts.
TEST(WriteFaults, AStopOnAFullDiskStillTellsWhatWasLost) {
    Logger log;
    LoggerOptions opts;
    opts.parfile += "metrics_file=metrics.prom\n";
    start_at(log, "2015-06-16 14:02:11", opts);
    for (const std::string& file : {status_path("20150616"), message_path("20150616")}) {
        fs::remove(log.dir() + "/" + file);
        fs::create_directory(log.dir() + "/" + file);
    }
    log.write_serial(stx_packet("lost"));
    ASSERT_TRUE(log.wait_file_contains("stderr.txt", "./data/KES20150616.txt: Is a directory\n"));
    log.type("quit\r");
    EXPECT_EQ(log.wait_exit(10000), 0);
    EXPECT_TRUE(has_match(log.stderr_text(),
                          "\\./data/MESKES20150616\\.txt: not written: 1,16/06/2015,14:0\\d:\\d\\d, "
                          "1 packets not stored from 14:0\\d:\\d\\d to 14:0\\d:\\d\\d: Is a directory\n"))
        << log.stderr_text();
    EXPECT_TRUE(
        has_match(log.file("metrics.prom"), "kestlog_packets_lost_total\\{[^}]*reason=\"storage\"\\} 1\n"))
        << log.file("metrics.prom");
}
